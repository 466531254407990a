"""Figures of the Python package's numpy paths, against the library it drives.

  - a batch upsert of N x 128 float32 vectors from a numpy array: the time spent encoding it in
    Python (until the library is called) against the time in the library;
  - search_batch over 1,000 queries on 2 threads against a loop of single searches;
  - the cost of one search call from Python on a database of one vector, where the library's
    own work is negligible, beside the same call made from C by vexradb_call_overhead_bench
    (bench/call_overhead_bench.c) on the same library: the difference is what the package adds
    per call (encoding, the foreign-function calls, decoding). Both are medians of 7 rounds of
    20,000 calls.

Usage: PYTHONPATH=python /usr/bin/python3 bench/python_bench.py [--quick] [--per-call]
           [--c-bench PROGRAM]
(the library from $VEXRADB_LIBRARY or build/; --quick uses 20,000 vectors instead of 100,000;
--per-call measures the cost per call only). The C program is looked for next to the library,
where a build with -DVEXRA_BUILD_BENCHMARKS=ON puts it, unless --c-bench names it; it is given
the library this process loaded. For instance, with the Release build in build-bench:

  VEXRADB_LIBRARY=build-bench/libvexradb_bindings.so PYTHONPATH=python \
      /usr/bin/python3 bench/python_bench.py --per-call
"""

import argparse
import os
import pathlib
import re
import statistics
import subprocess
import time

import numpy as np

from vexradb import Client
from vexradb import _ffi

DIMENSION = 128
QUERIES = 1000
K = 10
CALLS = 20_000  # per round of the cost per call; calls and rounds as in call_overhead_bench.c
ROUNDS = 7
C_PROGRAM = "vexradb_call_overhead_bench"
OVERHEAD_TARGET_US = 15.0


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


def round_times(runs, work):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return times


def c_call_time(program):
    """Microseconds per search call from C on the library this process uses, or None (with the
    reason printed) when the program is missing or fails."""
    if not program.is_file():
        print("the C figure needs %s, which is not built at %s (build the target %s in a build "
              "directory configured with -DVEXRA_BUILD_BENCHMARKS=ON, or give --c-bench)"
              % (C_PROGRAM, program, C_PROGRAM))
        return None
    run = subprocess.run([str(program), str(_ffi.library().path)], capture_output=True,
                         text=True)
    found = re.search(r"^median: ([0-9.]+) us per call$", run.stdout, re.MULTILINE)
    if run.returncode != 0 or not found:
        print("%s failed (exit status %d): %s" % (program, run.returncode,
                                                 (run.stderr or run.stdout).strip()))
        return None
    print(run.stdout.splitlines()[0])  # its rounds
    return float(found.group(1))


def per_call(vector, query, program):
    with Client.open("", dimensions=DIMENSION, metric="euclidean", persistent=False) as tiny:
        tiny.upsert("only", vector)
        times = round_times(ROUNDS, lambda: [tiny.search(query, K) for _ in range(CALLS)])
    rounds_us = [1e6 * seconds / CALLS for seconds in times]
    print("search from Python, %d rounds of %d calls (us per call): %s"
          % (ROUNDS, CALLS, " ".join("%.3f" % us for us in rounds_us)))
    python_us = statistics.median(rounds_us)
    c_us = c_call_time(program)
    if c_us is None:
        print("one search call on a database of one vector: %.2f us from Python (no C figure)"
              % python_us)
        return
    overhead = python_us - c_us
    print("one search call on a database of one vector: %.2f us from Python, %.2f us from C: "
          "the package adds %.2f us per call (target: at most %.0f us, %s)"
          % (python_us, c_us, overhead, OVERHEAD_TARGET_US,
             "met" if overhead <= OVERHEAD_TARGET_US else "missed"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="20,000 vectors instead of 100,000")
    parser.add_argument("--per-call", action="store_true", help="only the cost per call")
    parser.add_argument("--c-bench", type=pathlib.Path, metavar="PROGRAM",
                        help="the C program (default: %s next to the library)" % C_PROGRAM)
    args = parser.parse_args()
    program = args.c_bench or pathlib.Path(_ffi.library().path).resolve().parent / C_PROGRAM

    count = 1 if args.per_call else 20_000 if args.quick else 100_000
    rng = np.random.default_rng(1)
    vectors = rng.standard_normal((count, DIMENSION)).astype(np.float32)
    queries = rng.standard_normal((QUERIES, DIMENSION)).astype(np.float32)
    ids = [str(i) for i in range(count)]
    print("Python package benchmark: %d x %d float32, Euclidean, library %s; load average "
          "%.2f %.2f %.2f" % ((count, DIMENSION, _ffi.library().path) + os.getloadavg()))

    if args.per_call:
        per_call(vectors[0], queries[0], program)
        print("load average after: %.2f %.2f %.2f" % os.getloadavg())
        return

    with Client.open("", dimensions=DIMENSION, metric="euclidean", persistent=False) as db:
        encoding, library = timed_batch_upsert(db, ids, vectors)
        total = encoding + library
        print("batch upsert from numpy: %.2f s in all, encoding %.2f s (%.1f%%), library %.2f s"
              % (total, encoding, 100 * encoding / total, library))

        loop = best_of(3, lambda: [db.search(query, K) for query in queries])
        batch = best_of(3, lambda: db.search_batch(queries, K, threads=2))
        print("1,000 searches, k=10: loop %.3f s (%.0f/s), search_batch on 2 threads %.3f s "
              "(%.0f/s): %.2fx" % (loop, QUERIES / loop, batch, QUERIES / batch, loop / batch))

    per_call(vectors[0], queries[0], program)
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
