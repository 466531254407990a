"""Clients built by Client.open: full precision with a chosen metric, and quantized engines."""

import ctypes
import os

import pytest

import vexradb
from vexradb import Client, Eq
from vexradb import _ffi
from vexradb._codec import Writer


def test_binary_client_scans_and_cannot_give_vectors_back(tmp_path):
    path = tmp_path / "never-created"
    with Client.open(path, dimensions=10, quantization="binary", persistent=False) as db:
        db.insert("a", [1] * 10, {"k": 1})
        db.insert("b", [-1] * 10)
        assert not os.path.exists(path)  # an in-memory client writes nothing
        with pytest.raises(vexradb.VectorNotFoundError, match="Vector not found: a"):
            db.get("a")
        assert db.list() == ["a", "b"]
        hits = db.search([1] * 10, 5)
        assert [(h.id, h.distance) for h in hits] == [("a", 0.0), ("b", 1.0)]
        assert [h.id for h in db.search([1] * 10, 5, filter=Eq("k", 1))] == ["a"]
        assert db.delete("a") is True
        assert len(db) == 2  # quantized stores count every vector ever stored
        stats = db.stats()
        assert stats.memory_usage_bytes == 2 * 2  # two codes of (10 + 7) // 8 bytes
        assert stats.compression_ratio == pytest.approx(2 * 10 * 4 / 4)
        db.sync()
        db.checkpoint()


def test_sq8_client_returns_the_reconstruction():
    with Client.open("", dimensions=3, metric="euclidean", quantization="sq8",
                     persistent=False) as db:
        db.upsert_batch([("a", [0, 1, 2]), ("b", [2, 1, 0])])
        record = db.get("a")
        assert record.vector[0] == 0.0
        assert record.vector[2] != 2.0 and record.vector[2] == pytest.approx(2.0, abs=2 / 255)
        assert db.search([0, 1, 2], 1)[0].id == "a"


def test_full_precision_client_uses_the_configured_metric():
    with Client.open("", dimensions=2, metric="euclidean", persistent=False) as db:
        db.insert("a", [3, 4])
        assert db.search([0, 0], 1)[0].distance == 5.0


def test_persistent_clients_are_refused_until_available(tmp_path):
    with pytest.raises(vexradb.InvalidConfigurationError):
        Client.open(tmp_path / "db", dimensions=3)


def test_a_config_that_does_not_decode_is_an_internal_failure():
    lib = _ffi.library()
    config = Writer().u32(3).i32(7).i32(1).boolean(False).optional_text(None).bytes()
    with pytest.raises(vexradb.InternalError,
                       match="Failed to convert arg 'config': Invalid DistanceMetric enum value: 7"):
        lib.call("constructor_vexraclient_open", lib.to_buffer(b"x"), lib.to_buffer(config))
