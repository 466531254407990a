"""Figures of the Python package's numpy paths, against the library it drives.

  - a batch upsert of N x 128 float32 vectors from a numpy array: the time spent encoding it in
    Python (until the library is called) against the time in the library;
  - search_batch over 1,000 queries on 2 threads against a loop of single searches;
  - the cost of one search call from Python on a database of one vector, where the library's
    own work is negligible, beside the same call made from C by vexradb_call_overhead_bench
    (bench/call_overhead_bench.c) on the same library: the difference is what the package adds
    per call (encoding, the foreign-function calls, decoding). Both are medians of 7 rounds of
    20,000 calls.

With --quantized it measures instead the quantized engines against their peers in FAISS (Debian's
python3-faiss), all in this process on the same data: N x 128 clustered float32 vectors
(Euclidean), with held-out queries from the same mixture:
  - the SQ8 graph against FAISS's IndexHNSWSQ (8-bit, the same M, efConstruction and efSearch as
    ours): build time on 2 threads (FAISS's training included), single-thread queries per second
    and recall@10 against brute force; beside them the build time of our full-precision graph;
  - the binary scan against FAISS's IndexBinaryFlat over the same codes (bit i set when
    component i is positive): single-thread queries per second, and whether both find the same
    distances.

Usage: PYTHONPATH=python /usr/bin/python3 bench/python_bench.py [--quick] [--per-call]
           [--quantized] [--c-bench PROGRAM]
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


# The graph parameters of every engine (base/config.hpp): M neighbours above layer 0 (2M on it),
# the candidate list while inserting and the smallest one while searching.
HNSW_M = 16
EF_CONSTRUCTION = 200
EF_SEARCH = 100
CLUSTERS = 100
CLUSTER_SPREAD = 0.6  # standard deviation around a centre, whose components are N(0, 1)
SEED = 20240611
BUILD_THREADS = 2


def clustered(rng, centres, count):
    """`count` points around centres drawn at random, as float32."""
    points = centres[rng.integers(0, len(centres), count)]
    return (points + CLUSTER_SPREAD * rng.standard_normal((count, DIMENSION))).astype(np.float32)


def clustered_data(count):
    """The data set and held-out queries, the same on every run."""
    rng = np.random.default_rng(SEED)
    centres = rng.standard_normal((CLUSTERS, DIMENSION))
    return clustered(rng, centres, count), clustered(rng, centres, QUERIES)


def exact_nearest(vectors, queries, k=K):
    """The row numbers of each query's k nearest vectors (Euclidean), by brute force."""
    squared = (vectors.astype(np.float64) ** 2).sum(axis=1)
    rows = []
    for start in range(0, len(queries), 100):
        distances = squared - 2 * (queries[start:start + 100].astype(np.float64) @ vectors.T)
        rows.extend(set(row.tolist()) for row in np.argpartition(distances, k, axis=1)[:, :k])
    return rows


def recall(found_rows, truth):
    return sum(len(set(found) & true) for found, true in zip(found_rows, truth)) / (K * len(truth))


def our_engine(quantization, ids, vectors):
    """An in-memory database of `vectors` and its build time (seconds in all, in the library)."""
    db = Client.open("", dimensions=DIMENSION, metric="euclidean", quantization=quantization,
                     persistent=False)
    encoding, library = timed_batch_upsert(db, ids, vectors)
    return db, encoding + library, library


def our_searches(db, queries):
    """(queries per second, the hits of each query) of single-thread searches, best of 3."""
    found = []
    seconds = best_of(3, lambda: found.append([db.search(query, K) for query in queries]))
    return len(queries) / seconds, found[-1]


def timed_faiss_search(index, queries):
    """(queries per second, distances, labels) of one search call over every query on one
    thread (FAISS's fastest form), best of 3."""
    answers = []
    seconds = best_of(3, lambda: answers.append(index.search(queries, K)))
    return (len(queries) / seconds,) + answers[-1]


def compare_sq8(faiss, vectors, queries, truth):
    ids = [str(i) for i in range(len(vectors))]
    faiss.omp_set_num_threads(BUILD_THREADS)
    start = time.perf_counter()
    index = faiss.IndexHNSWSQ(DIMENSION, faiss.ScalarQuantizer.QT_8bit, HNSW_M)
    index.hnsw.efConstruction = EF_CONSTRUCTION
    index.train(vectors)
    index.add(vectors)
    faiss_build = time.perf_counter() - start
    db, build, in_library = our_engine("sq8", ids, vectors)
    full_db, full_build, full_in_library = our_engine("none", ids, vectors)
    full_db.close()
    print("build on %d threads: SQ8 graph %.1f s (%.1f s in the library), FAISS IndexHNSWSQ %.1f s "
          "(%.2fx), our full-precision graph %.1f s (%.1f s in the library; SQ8 %.2fx of it)"
          % (BUILD_THREADS, build, in_library, faiss_build, build / faiss_build, full_build,
             full_in_library, build / full_build))
    faiss.omp_set_num_threads(1)
    index.hnsw.efSearch = EF_SEARCH
    faiss_rate, _, labels = timed_faiss_search(index, queries)
    with db:
        rate, found = our_searches(db, queries)
    ours = recall([[int(hit.id) for hit in hits] for hits in found], truth)
    print("search on 1 thread, k=%d: SQ8 graph %.0f/s at recall %.3f, FAISS %.0f/s at recall "
          "%.3f (ours %.2fx)" % (K, rate, ours, faiss_rate, recall(labels.tolist(), truth),
                                  rate / faiss_rate))


def compare_binary(faiss, vectors, queries):
    ids = [str(i) for i in range(len(vectors))]
    db, build, _ = our_engine("binary", ids, vectors)
    with db:
        rate, found = our_searches(db, queries)
    codes = np.packbits(vectors > 0, axis=1, bitorder="little")
    index = faiss.IndexBinaryFlat(DIMENSION)
    index.add(codes)
    faiss.omp_set_num_threads(1)
    faiss_rate, hamming, _ = timed_faiss_search(
        index, np.packbits(queries > 0, axis=1, bitorder="little"))
    # Both rank by differing bits; ours divides them by the dimension.
    same = sum([hit.distance * DIMENSION for hit in hits] == row.tolist()
               for hits, row in zip(found, hamming))
    print("binary scan on 1 thread, k=%d: ours %.0f/s, FAISS IndexBinaryFlat %.0f/s (ours %.2fx); "
          "the same distances for %d of %d queries"
          % (K, rate, faiss_rate, rate / faiss_rate, same, len(queries)))


def quantized(count):
    try:
        import faiss
    except ImportError:
        print("the comparison needs FAISS (Debian's python3-faiss, which scripts/setup.sh "
              "installs; run with /usr/bin/python3)")
        return
    vectors, queries = clustered_data(count)
    print("quantized engines against FAISS %s: %d x %d clustered float32 (%d clusters), "
          "Euclidean, %d held-out queries; M %d, efConstruction %d, efSearch %d"
          % (faiss.__version__, count, DIMENSION, CLUSTERS, QUERIES, HNSW_M, EF_CONSTRUCTION,
             EF_SEARCH))
    truth = exact_nearest(vectors, queries)
    compare_sq8(faiss, vectors, queries, truth)
    print("load average: %.2f %.2f %.2f" % os.getloadavg())
    compare_binary(faiss, vectors, queries)


def add_c_bench_argument(parser):
    parser.add_argument("--c-bench", type=pathlib.Path, metavar="PROGRAM",
                        help="the C program (default: %s next to the library)" % C_PROGRAM)


def c_bench_program(args):
    """The C program --c-bench names, or the one beside the library this process loaded."""
    return args.c_bench or pathlib.Path(_ffi.library().path).resolve().parent / C_PROGRAM


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="20,000 vectors instead of 100,000")
    parser.add_argument("--per-call", action="store_true", help="only the cost per call")
    add_c_bench_argument(parser)
    parser.add_argument("--quantized", action="store_true",
                        help="only the quantized engines against FAISS")
    args = parser.parse_args()
    program = c_bench_program(args)

    count = 1 if args.per_call else 20_000 if args.quick else 100_000
    if args.quantized:
        print("library %s; load average %.2f %.2f %.2f" % ((_ffi.library().path,)
                                                           + os.getloadavg()))
        quantized(count)
        print("load average after: %.2f %.2f %.2f" % os.getloadavg())
        return
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
