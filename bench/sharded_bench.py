"""Figures of the sharded database (vexradb.distributed) against one database in this process.

On N x 128 clustered float32 vectors (Euclidean), with 2 shards on a local Dask cluster of 2
worker processes and one database in this process holding the same vectors, all durable (in a
temporary directory):
  - the batch load: the whole array through ShardedClient.upsert_batch, against one
    Client.upsert_batch;
  - queries per second of search_batch over 2,000 queries, k = 10 (2 threads in this process;
    1 per shard on the workers, which each search on their own core);
  - the fan-out cost per query: the latency of one sharded search against one local search, and
    that of a call which does no work on every shard;
  - recall@10 of both against brute force over 1,000 of the queries.

Usage: PYTHONPATH=python /usr/bin/python3 bench/sharded_bench.py [--quick]
(the library from $VEXRADB_LIBRARY or build/; --quick uses 20,000 vectors instead of 200,000).
"""

import argparse
import logging
import os
import statistics
import tempfile
import time

import numpy as np
from distributed import Client as DaskClient, LocalCluster

from python_bench import exact_nearest  # the scripts sit side by side
from vexradb import Client
from vexradb.distributed import ShardedClient

DIMENSION = 128
QUERIES = 2000
TRUTH_QUERIES = 1000
LATENCY_QUERIES = 300
K = 10


def clustered(count, rng, centres):
    points = centres[rng.integers(0, len(centres), count)]
    return (points + rng.standard_normal((count, DIMENSION))).astype(np.float32)


def recall(found_ids, truth):
    hits = sum(len({int(id) for id in row if id is not None} & true)
               for row, true in zip(found_ids, truth))
    return hits / sum(len(true) for true in truth)


def timed(action):
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def median_latency(call, items):
    times = []
    for item in items:
        start = time.perf_counter()
        call(item)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="20,000 vectors instead of 200,000")
    args = parser.parse_args()
    count = 20_000 if args.quick else 200_000
    rng = np.random.default_rng(7)
    centres = rng.standard_normal((1000, DIMENSION)) * 3
    vectors = clustered(count, rng, centres)
    queries = clustered(QUERIES, rng, centres)
    ids = [str(i) for i in range(count)]
    print("Sharded database benchmark: %d x %d clustered float32, Euclidean, 2 shards on 2 "
          "worker processes; load average %.2f %.2f %.2f" % ((count, DIMENSION) + os.getloadavg()))
    truth = exact_nearest(vectors, queries[:TRUTH_QUERIES], K)

    with tempfile.TemporaryDirectory() as directory, \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                         dashboard_address=":0", silence_logs=logging.CRITICAL) as cluster, \
            DaskClient(cluster, direct_to_workers=True) as dask, \
            ShardedClient.open(os.path.join(directory, "db"), shards=2, dimensions=DIMENSION,
                               metric="euclidean", client=dask) as sharded, \
            Client.open(os.path.join(directory, "single"), dimensions=DIMENSION,
                        metric="euclidean") as single:
        sharded_load, _ = timed(lambda: sharded.upsert_batch(ids, vectors))
        single_load, _ = timed(lambda: single.upsert_batch(ids, vectors))
        print("batch load: sharded %.2f s, one database %.2f s (%.2fx)"
              % (sharded_load, single_load, single_load / sharded_load))

        sharded_batch, (sharded_ids, _) = timed(
            lambda: sharded.search_batch(queries, K, threads=1))
        single_batch, (single_ids, _) = timed(lambda: single.search_batch(queries, K, threads=2))
        print("search_batch of %d queries: sharded %.0f/s, one database %.0f/s (%.2fx)"
              % (QUERIES, QUERIES / sharded_batch, QUERIES / single_batch,
                 single_batch / sharded_batch))

        latency_queries = queries[:LATENCY_QUERIES]
        sharded_search = median_latency(lambda q: sharded.search(q, K), latency_queries)
        single_search = median_latency(lambda q: single.search(q, K), latency_queries)
        empty_call = median_latency(lambda q: sharded.len(), latency_queries)
        print("one query (median of %d): sharded %.3f ms, one database %.3f ms, difference "
              "%.3f ms; a call doing no work on both shards %.3f ms"
              % (LATENCY_QUERIES, 1e3 * sharded_search, 1e3 * single_search,
                 1e3 * (sharded_search - single_search), 1e3 * empty_call))

        print("recall@%d over %d queries: sharded %.4f, one database %.4f"
              % (K, TRUTH_QUERIES, recall(sharded_ids[:TRUTH_QUERIES], truth),
                 recall(single_ids[:TRUTH_QUERIES], truth)))
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
