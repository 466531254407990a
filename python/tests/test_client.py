"""The Python package against the real library."""

import math
import random
import struct
import sys
import threading

import pytest

import vexradb
from vexradb import And, Client, Eq, GeoRadius, Gt, Gte, In, Lt, Lte, Not, Or
from vexradb import _ffi, errors
from vexradb import client as client_module

try:
    import numpy as np
except ImportError:  # the package works without numpy
    np = None


@pytest.fixture
def db():
    with Client.in_memory(3) as client:
        yield client


def test_library_identifies_itself():
    assert vexradb.version() == "1.0.0-alpha.5"
    lines = vexradb.system_info().split("\n")
    assert lines[0] == "VexraDB Bindings v1.0.0-alpha.5"
    assert lines[1] in ("Target: x86_64-linux", "Target: aarch64-linux")
    assert lines[2] == "Features: SIMD-optimized"


def test_a_library_with_another_signature_is_refused(monkeypatch):
    monkeypatch.setitem(_ffi.CHECKSUMS, "method_vexraclient_search", 0x1234)
    with pytest.raises(vexradb.LibraryMismatchError, match="method_vexraclient_search"):
        _ffi.Library(_ffi.library().path)


def test_crud_round_trip(db):
    db.insert("a", [1, 0, 0], {"genre": "jazz", "tags": ["x", 1, 2.5]})
    db.upsert_batch([("b", [0, 1, 0], {"genre": "rock"}), {"id": "c", "vector": [0, 0, 1]}])
    assert len(db) == 3 and not db.is_empty()
    assert db.list() == ["a", "b", "c"]
    assert db.list(1, 1) == ["b"]
    record = db.get("a")
    assert record.vector == [1.0, 0.0, 0.0]
    assert record.metadata == {"genre": "jazz", "tags": ["x", 1, 2.5]}
    assert db.get("missing") is None
    db.upsert("a", [0.5, 0.5, 0], None)
    assert db.get("a").metadata is None
    assert db.list() == ["b", "c", "a"]
    assert db.delete("b") is True
    assert db.delete("b") is False
    assert db.stats().vector_count == 2


def _batch_call_sizes(db):
    """The entry count of every batch call `db` makes from now on, as the library receives it."""
    sizes = []
    call = db._call

    def recording_call(name, *args):
        if name == "method_vexraclient_upsert_batch":
            sizes.append(struct.unpack(">i", _ffi.ffi.unpack(_ffi.ffi.cast("char*", args[0].data),
                                                             4))[0])
        return call(name, *args)

    db._call = recording_call
    return sizes


def test_progress_loads_in_chunks_each_its_own_batch_call(monkeypatch):
    monkeypatch.setattr(client_module, "PROGRESS_CHUNK_SIZE", 8)
    rng = random.Random(11)
    entries = [("v%d" % i, [rng.uniform(-1, 1) for _ in range(4)], {"n": i} if i % 3 else None)
               for i in range(30)]
    entries.append(("v2", [0.5, 0.5, 0.5, 0.5], {"again": True}))  # a later chunk replaces it
    queries = [[rng.uniform(-1, 1) for _ in range(4)] for _ in range(5)]
    # A database loaded by hand, chunk by chunk. Graph levels are drawn at random, so the two are
    # compared by their answers; on so few vectors every answer is exact.
    with Client.in_memory(4) as by_hand:
        for start in range(0, len(entries), 8):
            by_hand.upsert_batch(entries[start:start + 8])
        expected = [by_hand.search(query, 10) for query in queries]

    for with_tqdm in (True, False):
        if not with_tqdm:
            monkeypatch.setitem(sys.modules, "tqdm", None)  # its import now fails
        with Client.in_memory(4) as db:
            sizes = _batch_call_sizes(db)
            db.upsert_batch(entries, progress=True)
            assert sizes == [8, 8, 8, 7]
            assert sorted(db.list()) == sorted({entry[0] for entry in entries})
            assert db.get("v2").metadata == {"again": True}
            assert all(db.get(id) == (id, pytest.approx(vector), metadata)
                       for id, vector, metadata in entries[:30] if id != "v2")
            assert len(db) == 30
            assert [db.search(query, 10) for query in queries] == expected

    with Client.in_memory(4) as db:  # without progress: one call, however long the load
        sizes = _batch_call_sizes(db)
        db.upsert_batch(entries)
        assert sizes == [31]


def test_search_and_filters(db):
    db.upsert_batch([
        ("jazz99", [1, 0, 0], {"genre": "jazz", "year": 1999}),
        ("jazz00", [0.9, 0.1, 0], {"genre": "jazz", "year": 2000}),
        ("rock99", [0.8, 0.2, 0], {"genre": "rock", "year": 1999}),
        ("bare", [1, 0, 0]),
    ])
    hits = db.search([1, 0, 0], k=2)
    assert [h.id for h in hits][0] in ("jazz99", "bare")
    assert hits[0].distance <= hits[1].distance
    only_jazz = db.search([1, 0, 0], 10, filter=Eq("genre", "jazz"))
    assert {h.id for h in only_jazz} == {"jazz99", "jazz00"}
    both = db.search([1, 0, 0], 10, filter=Eq("genre", "jazz") & In("year", [1999, 2001]))
    assert [h.id for h in both] == ["jazz99"]
    either = db.search([1, 0, 0], 10, filter=Eq("genre", "rock") | Eq("year", 2000))
    assert {h.id for h in either} == {"rock99", "jazz00"}
    assert db.search([1, 0, 0], 10, filter=Eq("year", 1999.0)) == []  # a float is not an integer
    assert db.search([1, 0, 0], 10, filter=And()) != []
    assert db.search([1, 0, 0], 10, filter=Or()) == []
    # The operands of In are encoded without json.dumps: texts needing escapes, other kinds.
    odd = 'say "\u00e9"\\\n\u2028\U0001f600'
    db.upsert("odd", [0, 1, 0], {"genre": odd, "year": -7})
    for values in ([odd, 1999.5], [odd], ["x", True, None, -7, 2**70]):
        hits = db.search([0, 1, 0], 10, filter=In("genre", values) | In("year", values))
        assert [h.id for h in hits] == ["odd"], values


def test_errors_map_to_their_classes(db):
    with pytest.raises(vexradb.IndexEmptyError, match="Index is empty, cannot search"):
        db.search([1, 0, 0])
    with pytest.raises(vexradb.DimensionMismatchError, match="expected 3, got 2"):
        db.insert("a", [1, 2])
    db.insert("a", [1, 2, 3])
    with pytest.raises(vexradb.DuplicateVectorIdError) as caught:
        db.insert("a", [1, 2, 3])
    assert caught.value.message == "Duplicate vector ID: a"
    assert isinstance(caught.value, vexradb.VexraError)
    with pytest.raises(vexradb.SerializationError, match="EOF while parsing an object"):
        db.insert("b", [1, 2, 3], "{")
    assert len(db) == 1


def test_internal_failures_are_reported_not_fatal(db):
    lib = _ffi.library()
    clone = lib.function("clone_vexraclient")(db._handle, _ffi.ffi.NULL)
    junk = lib.to_buffer(b"\x00\x00\x00\x01\x3f\x80\x00\x00xyz")  # one float, 3 stray bytes
    with pytest.raises(vexradb.InternalError, match=r"arg 'query': junk data .*count: 3"):
        lib.call("method_vexraclient_search", clone, junk, 1)
    assert len(db) == 0  # still usable


def test_closed_client_refuses_calls():
    client = Client.in_memory(2)
    client.close()
    client.close()  # idempotent
    with pytest.raises(ValueError, match="closed"):
        client.len()


@pytest.mark.skipif(np is None, reason="numpy is not installed")
def test_numpy_vectors(db):
    db.insert("a", np.array([1, 2, 3], dtype=np.float64))
    db.upsert_batch([("b", np.arange(3, dtype=np.float32))])
    assert db.get("a").vector == [1.0, 2.0, 3.0]
    assert db.search(np.array([1, 2, 3], dtype=np.float32), 1)[0].id == "a"


@pytest.mark.skipif(np is None, reason="numpy is not installed")
def test_array_batches_and_batch_searches_answer_as_the_list_paths():
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((300, 8)).astype(np.float32)
    queries = rng.standard_normal((40, 8))
    ids = ["v%d" % i for i in range(len(vectors))]
    metadata = [{"n": i} if i % 2 else None for i in range(len(vectors))]
    with Client.in_memory(8) as from_array, Client.in_memory(8) as from_list:  # cosine
        from_array.upsert_batch(ids, vectors, metadata)
        from_list.upsert_batch([(ids[i], vectors[i].tolist(), metadata[i])
                                for i in range(len(ids))])
        assert all(from_array.get(id) == from_list.get(id) for id in ids)
        assert from_array.get("v3").metadata == {"n": 3}

        found_ids, distances = from_array.search_batch(queries, k=5, threads=2)
        assert distances.dtype == np.float32 and distances.shape == (40, 5)
        for q, query in enumerate(queries):
            hits = from_array.search(query, 5)
            assert found_ids[q] == [hit.id for hit in hits]
            assert distances[q].tolist() == [hit.distance for hit in hits]

        # Fewer vectors than k qualify: the missing places are marked.
        found_ids, distances = from_array.search_batch(queries[:2], k=4, filter=Eq("n", 3))
        assert found_ids == [["v3", None, None, None]] * 2
        assert np.isinf(distances[:, 1:]).all() and np.isfinite(distances[:, 0]).all()

        # Rows are no wider than the vectors a search can return: padding every row to a huge k
        # (valid for search) ran out of memory.
        found_ids, distances = from_array.search_batch(queries[:2], k=2**32 - 1)
        assert distances.shape == (2, 300)
        assert found_ids[1] == [hit.id for hit in from_array.search(queries[1], 2**32 - 1)]


@pytest.mark.skipif(np is None, reason="numpy is not installed")
def test_array_batches_refuse_wrong_shapes_and_dtypes(db):
    with pytest.raises(TypeError, match="floating-point"):
        db.upsert_batch(["a", "b"], np.ones((2, 3), dtype=np.int64))
    with pytest.raises(ValueError, match="two-dimensional"):
        db.upsert_batch(["a", "b", "c"], np.ones(3, dtype=np.float32))
    with pytest.raises(ValueError, match="3 vectors for 2 ids"):
        db.upsert_batch(["a", "b"], np.ones((3, 3), dtype=np.float32))
    with pytest.raises(ValueError, match="1 metadata values for 2 ids"):
        db.upsert_batch(["a", "b"], np.ones((2, 3), dtype=np.float32), [None])
    with pytest.raises(errors.DimensionMismatchError):
        db.upsert_batch(["a", "b"], np.ones((2, 4), dtype=np.float32))
    with pytest.raises(ValueError, match="two-dimensional"):
        db.search_batch(np.ones(3, dtype=np.float32))
    assert len(db) == 0


def test_concurrent_threads_share_a_client(db):
    failures = []

    def work(t):
        try:
            for i in range(50):
                db.insert("t%d-%d" % (t, i), [t, i, 1])
                db.search([1, 1, 1], 3)
        except Exception as e:  # pragma: no cover - reported below
            failures.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert len(db) == 200


def test_every_error_number_has_its_class():
    for number in range(1, 19):
        error = errors.error_for(number, "m")
        assert type(error).number == number and error.message == "m"


def _strong_count(client):
    # The handle is the address of the client record, which starts with its 64-bit strong count.
    return _ffi.ffi.cast("uint64_t*", client._handle)[0]


def test_failing_calls_give_back_their_handle_reference(db):
    before = _strong_count(db)
    lib = _ffi.library()
    with pytest.raises(vexradb.DimensionMismatchError):
        db.insert("a", [1, 2])
    with pytest.raises(vexradb.SerializationError):
        db.upsert_batch([("a", [1, 2, 3], "[1,")])
    with pytest.raises(vexradb.IndexEmptyError):
        db.search([1, 2, 3])
    text = _ffi.ffi.new("uint8_t[]", b"ab")
    bad = _ffi.ffi.new("RustBuffer*", (1, 2, text))[0]
    clone = lib.function("clone_vexraclient")(db._handle, _ffi.ffi.NULL)
    with pytest.raises(vexradb.InternalError, match="RustBuffer length exceeds capacity"):
        lib.call("method_vexraclient_delete", clone, bad)
    assert _strong_count(db) == before
    assert len(db) == 0


def _distance_metres(a, b):
    lat1, lon1, lat2, lon2 = map(math.radians, (a[0], a[1], b[0], b[1]))
    h = (math.sin((lat2 - lat1) / 2) ** 2
         + math.cos(lat1) * math.cos(lat2) * math.sin((lon2 - lon1) / 2) ** 2)
    return 2 * 6371000.0 * math.asin(math.sqrt(h))


def test_extension_filters_select_what_a_python_reference_selects():
    rng = random.Random(5)
    paris, berlin = (48.8566, 2.3522), (52.52, 13.405)
    records = {}
    with Client.in_memory(4) as db:
        for i in range(400):
            centre = paris if i % 2 else berlin
            metadata = {"price": rng.choice([rng.randint(0, 200), rng.uniform(0, 200)]),
                        "year": rng.randint(1990, 2030),
                        "genre": rng.choice(["jazz", "rock", "pop"]),
                        "at": [centre[0] + rng.uniform(-0.3, 0.3), centre[1] + rng.uniform(-0.3, 0.3)]}
            if i % 7 == 0:
                del metadata["year"]
            records["v%d" % i] = metadata
            db.insert("v%d" % i, [rng.random() for _ in range(4)], metadata)

        def year(m):
            return m.get("year")

        cases = [
            (Gt("price", 100), lambda m: m["price"] > 100),
            (Gte("year", 2020), lambda m: year(m) is not None and year(m) >= 2020),
            (Lt("price", 50.5), lambda m: m["price"] < 50.5),
            (Lte("year", 2000), lambda m: year(m) is not None and year(m) <= 2000),
            (Not(Eq("genre", "jazz")), lambda m: m["genre"] != "jazz"),
            (~Gte("year", 2000), lambda m: not (year(m) is not None and year(m) >= 2000)),
            (GeoRadius("at", *paris, 60000), lambda m: _distance_metres(m["at"], paris) <= 60000),
            (Gte("price", 20) & Lt("price", 80) & ~In("genre", ["pop"]),
             lambda m: 20 <= m["price"] < 80 and m["genre"] != "pop"),
            (Eq("genre", "rock") | (Gt("year", 2025) & GeoRadius("at", *berlin, 60000)),
             lambda m: m["genre"] == "rock" or (year(m) is not None and year(m) > 2025
                                                and _distance_metres(m["at"], berlin) <= 60000)),
        ]
        for filter, reference in cases:
            assert not filter.in_contract
            expected = {id for id, m in records.items() if reference(m)}
            found = {hit.id for hit in db.search([0.5] * 4, k=1000, filter=filter)}
            assert found == expected, filter
        assert (Eq("genre", "jazz") & In("year", [2000])).in_contract


def test_extension_filters_refuse_bad_operands(db):
    db.insert("a", [1, 0, 0], {"x": 1})
    with pytest.raises(TypeError, match="number"):
        Gt("x", "1")
    with pytest.raises(vexradb.SerializationError, match="finite numbers"):
        db.search([1, 0, 0], 1, filter=GeoRadius("x", 0, 0, "far"))
    deep = Gt("x", 0)
    for _ in range(200):
        deep = Not(deep)
    with pytest.raises(vexradb.SerializationError, match="recursion limit"):
        db.search([1, 0, 0], 1, filter=deep)


def test_deep_filters_are_refused_and_change_nothing(db):
    db.insert("a", [1, 0, 0], {"x": 1})
    deep = Eq("x", 1)
    for level in range(200):  # alternate, as & and | flatten repeats of one kind
        deep = And(deep, Eq("x", 1)) if level % 2 else Or(deep, Eq("x", 2))
    with pytest.raises(vexradb.InternalError, match="nested deeper than 128 levels"):
        db.search([1, 0, 0], 1, filter=deep)
    shallow = deep
    for _ in range(190):
        shallow = shallow.filters[0]
    assert [h.id for h in db.search([1, 0, 0], 1, filter=shallow)] == ["a"]


def test_sync_and_checkpoint_do_nothing_in_memory(db):
    db.insert("a", [1, 0, 0])
    db.sync()
    db.checkpoint()
    assert db.list() == ["a"]


def test_eight_threads_mixing_writes_and_searches(db):
    failures = []
    barrier = threading.Barrier(8)

    def work(t):
        try:
            barrier.wait()
            for i in range(60):
                db.upsert("t%d-%d" % (t, i), [t + 1, i, 1], {"thread": t})
                if i % 3 == 0:
                    assert db.delete("t%d-%d" % (t, i)) is True
                for hit in db.search([t + 1, i, 1], 5, filter=Eq("thread", t)):
                    assert hit.metadata == {"thread": t}
        except Exception as e:
            failures.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert len(db) == 8 * 40
    assert sorted(db.list()) == sorted(
        "t%d-%d" % (t, i) for t in range(8) for i in range(60) if i % 3
    )
