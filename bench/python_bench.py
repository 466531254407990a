"""Figures of the Python package's numpy paths, against the library it drives.

  - a batch upsert of N x 128 float32 vectors from a numpy array: the time spent encoding it in
    Python (until the library is called) against the time in the library;
  - search_batch over 1,000 queries on 2 threads against a loop of single searches;
  - the cost of one search call from Python on a database of one vector, where the library's
    own work is negligible: what the package adds per call (encoding, ctypes, decoding).

Usage: PYTHONPATH=python /usr/bin/python3 bench/python_bench.py [--quick]
(the library from $VEXRADB_LIBRARY or build/; --quick uses 20,000 vectors instead of 100,000).
"""

import os
import sys
import time

import numpy as np

from vexradb import Client

DIMENSION = 128
QUERIES = 1000
K = 10


def timed_batch_upsert(db, ids, vectors):
    """(seconds encoding, seconds in the library) of one upsert_batch call."""
    call = db._call
    entered = []

    def recording_call(name, *args):
        entered.append(time.perf_counter())
        return call(name, *args)

    db._call = recording_call
    start = time.perf_counter()
    db.upsert_batch(ids, vectors)
    end = time.perf_counter()
    del db._call
    return entered[0] - start, end - entered[0]


def best_of(runs, work):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    count = 20_000 if "--quick" in sys.argv[1:] else 100_000
    rng = np.random.default_rng(1)
    vectors = rng.standard_normal((count, DIMENSION)).astype(np.float32)
    queries = rng.standard_normal((QUERIES, DIMENSION)).astype(np.float32)
    ids = [str(i) for i in range(count)]
    print("Python package benchmark: %d x %d float32, Euclidean; load average %.2f %.2f %.2f"
          % ((count, DIMENSION) + os.getloadavg()))

    with Client.open("", dimensions=DIMENSION, metric="euclidean", persistent=False) as db:
        encoding, library = timed_batch_upsert(db, ids, vectors)
        total = encoding + library
        print("batch upsert from numpy: %.2f s in all, encoding %.2f s (%.1f%%), library %.2f s"
              % (total, encoding, 100 * encoding / total, library))

        loop = best_of(3, lambda: [db.search(query, K) for query in queries])
        batch = best_of(3, lambda: db.search_batch(queries, K, threads=2))
        print("1,000 searches, k=10: loop %.3f s (%.0f/s), search_batch on 2 threads %.3f s "
              "(%.0f/s): %.2fx" % (loop, QUERIES / loop, batch, QUERIES / batch, loop / batch))

    with Client.open("", dimensions=DIMENSION, metric="euclidean", persistent=False) as tiny:
        tiny.upsert("only", vectors[0])
        calls = 20_000
        seconds = best_of(3, lambda: [tiny.search(queries[0], K) for _ in range(calls)])
        print("one search call on a database of one vector: %.1f us" % (1e6 * seconds / calls))
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
