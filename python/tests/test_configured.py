"""Clients built by Client.open: full precision with a chosen metric, and quantized engines."""

import array
import os
import random

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
        # The deleted version is reclaimed at once (half the store): one code of (10 + 7) // 8
        # bytes is left, at the same ratio.
        assert stats.memory_usage_bytes == 2
        assert stats.compression_ratio == pytest.approx(10 * 4 / 2)
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


def test_persistent_client_keeps_its_data_across_reopening(tmp_path):
    path = tmp_path / "nested" / "db"
    with Client.open(path, dimensions=2, metric="euclidean") as db:
        db.insert("a", [1, 0], {"k": 1})
        db.upsert_batch([("b", [0, 1]), ("c", [5, 5])])
        db.upsert("c", [1, 1])
        assert db.delete("b") is True
        assert db.delete("b") is False
        # Answers come from the engine's own storage.
        record = db.get("a")
        assert (record.vector, record.metadata) == ([1.0, 0.0], {"k": 1})
        assert db.stats().memory_usage_bytes > 0
        db.checkpoint()
        db.insert("d", [3, 4])  # only in the log
        db.sync()
    assert sorted(os.listdir(path)) == ["manifest.json", "snapshots", "wal"]
    assert len(list((path / "snapshots").glob("*.snap"))) == 1
    with Client.open(path, dimensions=2, metric="euclidean") as db:
        assert db.list() == ["a", "c", "d"]
        assert db.get("b") is None
        assert db.get("c").vector == [1.0, 1.0]
        assert [(h.id, h.distance) for h in db.search([0, 0], 2)] == [("a", 1.0), ("c", pytest.approx(2**0.5))]
        assert [h.id for h in db.search([0, 0], 3, filter=Eq("k", 1))] == ["a"]


def test_persistent_directory_takes_one_client_at_a_time(tmp_path):
    with Client.open(tmp_path, dimensions=3) as db:
        db.insert("a", [1, 2, 3])
        with pytest.raises(vexradb.VexraIOError, match="in use by another client"):
            Client.open(tmp_path, dimensions=3)
    with Client.open(tmp_path, dimensions=3) as db:
        assert len(db) == 1


def test_persistent_client_refuses_another_dimension_or_metric(tmp_path):
    with Client.open(tmp_path, dimensions=3) as db:
        db.checkpoint()
    with pytest.raises(vexradb.InvalidConfigurationError,
                       match="written with dimensions 3, this client asks for 4"):
        Client.open(tmp_path, dimensions=4)
    with pytest.raises(vexradb.InvalidConfigurationError,
                       match="written with metric cosine, this client asks for dot"):
        Client.open(tmp_path, dimensions=3, metric="dot")


def test_a_config_that_does_not_decode_is_an_internal_failure():
    lib = _ffi.library()
    config = Writer().u32(3).i32(7).i32(1).boolean(False).optional_text(None).bytes()
    with pytest.raises(vexradb.InternalError,
                       match="Failed to convert arg 'config': Invalid DistanceMetric enum value: 7"):
        lib.call("constructor_vexraclient_open", lib.to_buffer(b"x"), lib.to_buffer(config))


def test_persistent_quantized_client_keeps_full_vectors_in_its_directory(tmp_path):
    path = tmp_path / "db"
    rng = random.Random(3)
    vectors = {"v%d" % i: [rng.uniform(-1, 1) for _ in range(8)] for i in range(60)}
    as_stored = lambda v: list(array.array("f", v))  # noqa: E731 (float32, as the library keeps)
    with Client.open(path, dimensions=8, metric="euclidean", quantization="sq8") as db:
        db.upsert_batch(list(vectors.items()))
        db.checkpoint()  # from now on the vectors are read from the snapshot
        vectors["v0"] = [0.5] * 8
        db.upsert("v0", vectors["v0"])  # held in memory until the next snapshot
        assert db.get("v3").vector == as_stored(vectors["v3"])
        hit = db.search(vectors["v5"], 1)[0]
        assert (hit.id, hit.distance) == ("v5", 0.0)  # rescored by the exact distance
        assert db.stats().vector_count == 60
    for quantization in ("none", "binary", "sq8"):
        with Client.open(path, dimensions=8, metric="euclidean",
                         quantization=quantization) as db:
            assert {i: db.get(i).vector for i in db.list()} == {
                i: as_stored(v) for i, v in vectors.items()}
    with pytest.raises(ValueError, match="oversampling"):
        Client.open(path, dimensions=8, quantization="sq8", oversampling=0)


def test_arguments_that_fail_to_encode_leave_no_library_buffer(monkeypatch):
    lib = _ffi.library()
    made, freed = [], []
    to_buffer, take_bytes = lib.to_buffer, lib.take_bytes
    monkeypatch.setattr(lib, "to_buffer", lambda data: made.append(1) or to_buffer(data))
    monkeypatch.setattr(lib, "take_bytes", lambda buf: freed.append(1) or take_bytes(buf))
    with Client.in_memory(3) as db:
        with pytest.raises((TypeError, ValueError)):
            db.insert("a", [1, 2, 3], {"bad": object()})  # metadata that is not JSON
        with pytest.raises(AttributeError):
            db.search([1, 2, 3], 1, filter=object())  # not a filter
        assert len(made) == len(freed)


ENGINES = [("none", False), ("sq8", False), ("binary", False), ("none", True), ("sq8", True),
           ("binary", True)]


@pytest.mark.parametrize("quantization,persistent", ENGINES)
def test_batch_search_answers_what_single_searches_answer(tmp_path, quantization, persistent):
    from vexradb import GeoRadius, Gte, In, Lt, Or
    rng = random.Random(11)
    with Client.open(tmp_path / "db", dimensions=6, metric="euclidean",
                     quantization=quantization, persistent=persistent) as db:
        db.upsert_batch([("v%d" % i, [rng.gauss(0, 1) for _ in range(6)],
                          {"n": i % 7, "w": i / 3, "at": [i % 5, i % 3]} if i % 4 else None)
                         for i in range(150)])
        db.delete("v5")
        queries = [[rng.gauss(0, 1) for _ in range(6)] for _ in range(25)]
        filters = [None, Eq("n", 3), In("n", [1, 2, "2", 9]), Eq("n", 1) | Gte("w", 40),
                   In("n", range(4)) & ~Eq("n", 2), Lt("w", 10), GeoRadius("at", 1, 1, 200_000),
                   Eq("n", 99)]
        for filter in filters:
            for k in (1, 12):
                ids, distances, metadata = db.search_batch(queries, k, filter, threads=2,
                                                           include_metadata=True)
                width = len(ids[0])
                assert width == min(k, db.len()) and len(distances[0]) == width
                for q, query in enumerate(queries):
                    hits = db.search(query, k, filter)
                    padding = width - len(hits)
                    assert ids[q] == [hit.id for hit in hits] + [None] * padding, filter
                    assert list(distances[q]) == [hit.distance for hit in hits] + [
                        float("inf")] * padding
                    assert metadata[q] == [hit.metadata for hit in hits] + [None] * padding
        # A filter used for many searches answers as a fresh one does.
        reused = In("n", [1, 3]) & Gte("w", 5)
        first = db.search_batch(queries, 12, reused)
        for _ in range(3):
            assert db.search_batch(queries, 12, reused)[0] == first[0]
        assert db.search_batch(queries, 12, In("n", [1, 3]) & Gte("w", 5))[0] == first[0]
        ids, distances = db.search_batch([], 3)
        assert ids == [] and len(distances) == 0
        with pytest.raises(vexradb.DimensionMismatchError):
            db.search_batch([[1.0] * 5], 3)


def test_batch_search_leaves_the_interpreter_free():
    import threading
    rng = random.Random(5)
    with Client.open("", dimensions=32, metric="euclidean", persistent=False) as db:
        db.upsert_batch([("v%d" % i, [rng.random() for _ in range(32)]) for i in range(3000)])
        queries = [[rng.random() for _ in range(32)] for _ in range(200)]
        counted, done = [0], threading.Event()

        def count():
            while not done.is_set():
                counted[0] += 1

        counter = threading.Thread(target=count)
        counter.start()
        try:
            calls, during = 0, 0
            # Repeat until the searches have run long enough to tell: a call that kept the
            # interpreter would let the counter move only between calls.
            while calls < 5 or during < 1000:
                before = counted[0]
                db.search_batch(queries, 10, threads=1)
                during += counted[0] - before
                calls += 1
                assert calls < 200, "the other thread never ran during a batch search"
        finally:
            done.set()
            counter.join()
