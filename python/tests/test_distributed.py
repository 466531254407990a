"""The sharded database on a local Dask cluster of two worker processes."""

import json
import logging
import os
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from itertools import chain

import pytest

np = pytest.importorskip("numpy")
distributed = pytest.importorskip("distributed")

from vexradb import Client, Eq, Gte, errors  # noqa: E402
from vexradb.client import fuse  # noqa: E402
from vexradb.distributed import (  # noqa: E402
    MANIFEST_NAME, ShardedClient, ShardUnavailableError, ShardUnreachableError, shard_of)

DIMENSIONS = 24


@pytest.fixture(scope="module")
def dask():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=logging.CRITICAL) as cluster:
        with distributed.Client(cluster, direct_to_workers=True) as client:
            yield client


@pytest.fixture
def workers(dask):
    """The cluster with both workers up (a test may have killed one before)."""
    dask.wait_for_workers(2, timeout=60)
    return dask


@pytest.fixture
def drop_calls(monkeypatch):
    """drop_calls(n): the next n calls to any actor fail in transit, as over a dropped
    connection, while every worker stays up."""
    remaining = [0]
    reach = distributed.actor.Actor._worker_rpc.fget

    class Dropping:
        def __init__(self, rpc):
            self._rpc = rpc

        def __getattr__(self, name):
            if name != "actor_execute" or remaining[0] == 0:
                return getattr(self._rpc, name)
            remaining[0] -= 1

            async def dropped(**message):
                raise distributed.comm.CommClosedError("connection dropped (simulated)")
            return dropped

    monkeypatch.setattr(distributed.actor.Actor, "_worker_rpc",
                        property(lambda actor: Dropping(reach(actor))))
    return lambda count: remaining.__setitem__(0, count)


def clustered(count, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((20, DIMENSIONS)) * 4
    points = centres[rng.integers(0, len(centres), count)] + rng.standard_normal(
        (count, DIMENSIONS))
    return points.astype(np.float32)


def exact_nearest(vectors, ids, query, k):
    distances = ((vectors - query) ** 2).sum(axis=1)
    return [ids[i] for i in np.argsort(distances, kind="stable")[:k]]


def recall(found, truth):
    return sum(len(set(f) & set(t)) for f, t in zip(found, truth)) / sum(len(t) for t in truth)


def kill_worker_of(db, dask, shard):
    os.kill(dask.run(os.getpid)[db.placement()[shard]], signal.SIGKILL)


def test_searches_over_shards_match_one_database(workers, tmp_path):
    vectors = clustered(3000, seed=1)
    ids = ["v%d" % i for i in range(len(vectors))]
    metadata = [{"group": i % 4} for i in range(len(vectors))]
    queries = clustered(60, seed=2)
    with ShardedClient.open(tmp_path / "db", shards=2, dimensions=DIMENSIONS,
                            metric="euclidean", client=workers) as sharded, \
            Client.open("", dimensions=DIMENSIONS, metric="euclidean",
                        persistent=False) as single:
        sharded.upsert_batch(ids, vectors, metadata)
        single.upsert_batch(ids, vectors, metadata)

        # Every id in exactly one shard, the one its hash names.
        per_shard = [set(part) for _, part in sharded._everywhere("list", (0, 2**32 - 1))]
        assert sum(map(len, per_shard)) == len(ids) and set().union(*per_shard) == set(ids)
        assert all(id in per_shard[sharded.shard_of(id)] for id in ids)
        assert sorted(sharded.list()) == sorted(ids)
        assert sharded.list(2990, 50) == sharded.list()[2990:]

        truth = [exact_nearest(vectors, ids, query, 10) for query in queries]
        found = [sharded.search(query, 10) for query in queries]
        for hits in found:
            keys = [(hit.distance, hit.id) for hit in hits]
            assert keys == sorted(keys) and len(hits) == 10
        sharded_recall = recall([[hit.id for hit in hits] for hits in found], truth)
        single_recall = recall([[hit.id for hit in single.search(q, 10)] for q in queries], truth)
        assert sharded_recall >= single_recall - 0.01

        batch_ids, batch_distances = sharded.search_batch(queries, 10, threads=1)
        assert batch_ids == [[hit.id for hit in hits] for hits in found]
        assert batch_distances.tolist() == [[hit.distance for hit in hits] for hits in found]

        group = Eq("group", 1)
        members = [i for i, meta in enumerate(metadata) if meta["group"] == 1]
        filtered_truth = [exact_nearest(vectors[members], [ids[i] for i in members], q, 10)
                          for q in queries]
        filtered = [sharded.search(q, 10, filter=group) for q in queries]
        assert all(hit.metadata == {"group": 1} for hits in filtered for hit in hits)
        filtered_single = [[hit.id for hit in single.search(q, 10, filter=group)]
                           for q in queries]
        assert (recall([[hit.id for hit in hits] for hits in filtered], filtered_truth)
                >= recall(filtered_single, filtered_truth) - 0.01)
        ids_in_batch, _, metadata_in_batch = sharded.search_batch(
            queries[:5], 10, filter=Gte("group", 3), threads=1, include_metadata=True)
        assert all(int(id[1:]) % 4 == 3 for row in ids_in_batch for id in row)
        assert metadata_in_batch == [[metadata[int(id[1:])] for id in row] for row in ids_in_batch]


def test_keyword_and_hybrid_searches_merge_each_list_over_the_shards_before_fusing(workers):
    words = ["alpha", "beta", "gamma", "delta", "omega", "sigma"]
    vectors = clustered(300, seed=5)
    ids = ["t%d" % i for i in range(len(vectors))]
    metadata = [{"body": " ".join(words[(i * j) % 6] for j in range(1 + i % 5)), "group": i % 2}
                for i in range(len(vectors))]
    with ShardedClient.in_memory(DIMENSIONS, shards=2, client=workers,
                                 text_fields=["body"]) as sharded:
        sharded.upsert_batch(ids, vectors, metadata)
        keyword = sharded.text_search("gamma omega", 20, filter=Eq("group", 1))
        assert len(keyword) == 20 and all(hit.metadata["group"] == 1 for hit in keyword)
        assert [(-hit.score, hit.id) for hit in keyword] == sorted(
            (-hit.score, hit.id) for hit in keyword)
        fusion = {"depth": 30, "text_weight": 0.6}
        hybrid = sharded.search(vectors[7], 10, text="gamma omega", fusion=fusion)
        assert hybrid == fuse(sharded.search(vectors[7], 30),
                              sharded.text_search("gamma omega", 30), 10, fusion)
        assert any(hit.text_rank and hit.vector_rank for hit in hybrid)


def test_reads_and_writes_go_to_the_owning_shard(workers):
    # Every stored sharded database depends on this routing: it must never change.
    assert [shard_of("v%d" % i, 7) for i in range(10)] == [6, 1, 3, 1, 3, 4, 4, 2, 4, 1]
    assert shard_of("\u00e9", 3) == 0
    with ShardedClient.open("", shards=3, dimensions=2, metric="euclidean", persistent=False,
                            client=workers) as db:
        with pytest.raises(errors.IndexEmptyError):
            db.search([0, 0], 1)
        db.insert("only", [1, 1], {"a": 1})  # two of three shards stay empty
        assert [hit.id for hit in db.search([0, 0], 5)] == ["only"]
        with pytest.raises(errors.DuplicateVectorIdError):
            db.insert("only", [2, 2])
        db.upsert_batch([("p%d" % i, [i, 0]) for i in range(30)])
        assert len(db) == 31 and not db.is_empty()
        assert db.stats().vector_count == 31 and db.stats().dimensions == 2
        assert db.get("p7").vector == [7.0, 0.0] and db.get("missing") is None
        assert db.delete("p7") is True and db.delete("p7") is False and len(db) == 30
        # Rows are as wide as the shards' vectors, not k (any k below 2**32 is valid).
        ids, distances = db.search_batch([[0, 0]], 40, filter=Eq("a", 1))
        assert ids == [["only"] + [None] * 29] and np.isinf(distances[0][1:]).all()
        ids, distances = db.search_batch([[0, 0]], 2**32 - 1)
        assert distances.shape == (1, 30) and sorted(ids[0]) == sorted(db.list())
        with pytest.raises(ValueError, match="2 dimensions"):
            db.upsert_batch(["x", "y"], np.zeros((2, 3), dtype=np.float32))
        with pytest.raises(errors.DimensionMismatchError):
            db.upsert("x", [1, 2, 3])
        assert len(db) == 30  # nothing of the refused writes was stored


def test_pages_of_quantized_shards_hold_each_live_id_once(workers):
    # A quantized shard's len() also counts replaced and removed versions: pages cannot be
    # offset by it.
    with ShardedClient.open("", shards=2, dimensions=4, quantization="sq8", persistent=False,
                            client=workers) as db:
        ids = ["q%d" % i for i in range(20)]
        db.upsert_batch(ids, clustered(20, seed=5)[:, :4])
        for id in ids[:10]:
            db.delete(id)
        db.upsert(ids[10], [1, 2, 3, 4])
        pages = [db.list(offset, 3) for offset in range(0, 30, 3)]
        assert all(len(page) == 3 for page in pages[:3]) and len(pages[3]) == 1
        assert sorted(chain.from_iterable(pages)) == sorted(ids[10:])


def test_a_killed_worker_loses_no_acknowledged_write(workers, tmp_path):
    vectors = clustered(1200, seed=3)
    ids = ["k%d" % i for i in range(len(vectors))]
    path = tmp_path / "db"
    with ShardedClient.open(path, shards=2, dimensions=DIMENSIONS, metric="euclidean",
                            client=workers) as db:
        db.upsert_batch(ids[:400], vectors[:400])
        killer = threading.Timer(0.05, kill_worker_of, (db, workers, 0))
        killer.start()
        for start in range(400, 1200, 50):  # upserts are repeated on the reopened shard
            db.upsert_batch(ids[start:start + 50], vectors[start:start + 50])
        killer.join()
        db.upsert("after", vectors[0])
        assert len(db) == 1201
        assert db.get("k1100").vector == pytest.approx(vectors[1100].tolist())
    workers.wait_for_workers(2, timeout=60)
    with ShardedClient.open(path, client=workers) as reopened:
        assert len(reopened) == 1201
        assert sorted(reopened.list()) == sorted(ids + ["after"])
        # Once the scheduler knows the worker is lost, no call reaches the shard until it is
        # open again: even a delete, which is never repeated, then goes through.
        kill_worker_of(reopened, workers, 1)
        lost = reopened._futures[1]
        deadline = time.monotonic() + 30
        while lost.status == "finished" and time.monotonic() < deadline:
            time.sleep(0.02)
        assert lost.status != "finished"
        assert reopened.delete(next(id for id in ids if reopened.shard_of(id) == 1)) is True
        assert len(reopened) == 1200


def test_a_call_failing_in_transit_keeps_its_shard(workers, tmp_path, drop_calls):
    for path in (tmp_path / "db", None):
        with ShardedClient.open(path or "", shards=2, dimensions=2, metric="euclidean",
                                persistent=path is not None, client=workers) as db:
            db.upsert_batch([("t%d" % i, [i, 0]) for i in range(20)])
            actors = list(db._actors)
            drop_calls(1)
            assert db.get("t3").vector == [3.0, 0.0]  # repeated on the same actor
            drop_calls(1)
            with pytest.raises(ShardUnreachableError, match="may or may not have taken effect"):
                db.delete("t3")  # never repeated
            assert db.delete("t3") is True  # the dropped call had not reached the shard
            assert len(db.search([0, 0], 30)) == 19
            assert all(now is before for now, before in zip(db._actors, actors))

    with ShardedClient.open(tmp_path / "db", client=workers) as db:
        shard = db.shard_of("t4")
        actor = db._actors[shard]
        drop_calls(100)
        with pytest.raises(ShardUnreachableError, match="4 attempts") as caught:
            db.get("t4")
        assert caught.value.shard == shard
        # A loss wrongly confirmed: the new actor cannot take the directory from the live one,
        # and the shard stays where it was.
        drop_calls(1)
        db._worker_is_lost = lambda shard, actor: True
        with pytest.raises(ShardUnavailableError, match="could not be opened again"):
            db.delete("t4")
        del db._worker_is_lost
        assert db._actors[shard] is actor and db.get("t4").vector == [4.0, 0.0]


def test_a_shard_opening_again_holds_up_no_other_call(workers, tmp_path):
    db = ShardedClient.open(tmp_path / "db", shards=2, dimensions=2, metric="euclidean",
                            client=workers)
    db.upsert_batch([("s%d" % i, [i, 0]) for i in range(20)])
    on_lost, on_live = (next(id for id in db.list() if db.shard_of(id) == shard)
                        for shard in (1, 0))
    awaited, gate = threading.Event(), threading.Event()
    start = db._start

    class HeldBack:
        """The start of a shard's new actor, which its waiter sees finish only once the gate
        opens."""

        def __init__(self, future):
            self._future = future

        def result(self, timeout=None):
            awaited.set()
            gate.wait()
            return self._future.result(timeout)

        def __getattr__(self, name):
            return getattr(self._future, name)

    db._start = lambda shard, worker: HeldBack(start(shard, worker))
    kill_worker_of(db, workers, 1)
    with ThreadPoolExecutor(3) as pool:
        reopening = pool.submit(db.get, on_lost)
        try:
            assert awaited.wait(60)
            assert pool.submit(db.get, on_live).result(timeout=20).id == on_live
            pool.submit(db.close).result(timeout=20)
        finally:
            gate.set()
        with pytest.raises(ValueError, match="closed"):
            reopening.result()


def test_a_lost_in_memory_shard_stays_unavailable(workers):
    with ShardedClient.open("", shards=2, dimensions=2, metric="euclidean", persistent=False,
                            client=workers) as db:
        db.upsert_batch([("m%d" % i, [i, i]) for i in range(40)])
        kill_worker_of(db, workers, 1)
        for _ in range(2):
            with pytest.raises(ShardUnavailableError, match="shard 1 was in memory") as caught:
                db.search([0, 0], 5)
            assert caught.value.shard == 1
        hits = db.search([0, 0], 40, partial=True)
        assert hits and all(db.shard_of(hit.id) == 0 for hit in hits)
        ids, _ = db.search_batch([[0, 0]], 40, partial=True)
        assert [id for id in ids[0] if id] == [hit.id for hit in hits]


def test_manifests_that_disagree_are_refused(workers, tmp_path):
    path = tmp_path / "db"
    with ShardedClient.open(path, shards=2, dimensions=4, metric="dot", client=workers):
        pass
    assert json.loads((path / MANIFEST_NAME).read_text())["metric"] == "dot"
    for wrong, pattern in ((dict(shards=3), "shards 2, not 3"), (dict(dimensions=5), "dim"),
                           (dict(metric="cosine"), "metric")):
        with pytest.raises(errors.InvalidConfigurationError, match=pattern):
            ShardedClient.open(path, client=workers, **wrong)
    with ShardedClient.open(path, shards=2, dimensions=4, metric="dot_product",
                            client=workers) as db:
        assert db.shards == 2 and db.stats().dimensions == 4
    manifest = json.loads((path / MANIFEST_NAME).read_text())
    (path / MANIFEST_NAME).write_text(json.dumps(dict(manifest, shards="2")))
    with pytest.raises(errors.InvalidConfigurationError, match="shards must be a positive"):
        ShardedClient.open(path, client=workers)
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "file").write_text("x")
    with pytest.raises(errors.InvalidConfigurationError, match="not a sharded database"):
        ShardedClient.open(tmp_path / "other", shards=2, dimensions=4, client=workers)
    with pytest.raises(errors.InvalidConfigurationError, match="needs shards and dimensions"):
        ShardedClient.open(tmp_path / "new", client=workers)
