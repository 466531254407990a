"""Searches through the Python package as users make them: filters, and batches of queries.

  --filters  the cost of a search call by kind of filter, on 2,000 x 16 random vectors (Euclidean,
             in memory) whose field b takes 1,000 values and whose field half is b < 500; the
             library's cost per value of an In (an In of 500 values that match nothing against
             one of 1 value, through the exported call); then, on 50,000 x 128 clustered vectors
             with the same fields, the rate of searches whose In of 500 values admits half of
             them against the unfiltered rate, in a loop of single searches and in batches.
  --batch    search_batch over 1,000 queries of 100,000 x 128 clustered vectors, on a data
             directory's graph: on one thread against a loop over the exported search from C
             (vexradb_call_overhead_bench --loop-dir) on the same graph and library, and against
             hnswlib's knn_query on one thread at the same recall@10; and on two threads against
             one.
(both by default). The library comes from $VEXRADB_LIBRARY or build/; figures are meant for the
Release build:

  VEXRADB_LIBRARY=build-bench/libvexradb_bindings.so PYTHONPATH=python \\
      /usr/bin/python3 bench/python_search_bench.py

Runs on Debian's interpreter (numpy; python3-hnswlib for the comparison).
"""

import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

import numpy as np

from vexradb import Client, Eq, Gte, In, _ffi

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from python_bench import (BUILD_THREADS, C_PROGRAM, EF_CONSTRUCTION, HNSW_M, K,  # noqa: E402
                          add_c_bench_argument, best_of, c_bench_program, clustered_data,
                          exact_nearest, recall)

FIELD_VALUES = 1000


def load_average():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def with_fields(db, vectors):
    ids = [str(i) for i in range(len(vectors))]
    metadata = [{"b": i % FIELD_VALUES, "half": i % FIELD_VALUES < FIELD_VALUES // 2}
                for i in range(len(vectors))]
    db.upsert_batch(ids, vectors, metadata)


def microseconds_per_search(db, queries, filter):
    seconds = best_of(5, lambda: [db.search(query, K, filter) for query in queries])
    return 1e6 * seconds / len(queries)


def library_cost_per_value(db, query, calls=2000):
    """Nanoseconds per value of an In through the exported call, (repeated, first use): an In of
    500 values that match nothing against one of 1, so that both searches admit nothing, their
    records encoded beforehand. Repeated: the same filter on every call. First use: another
    filter on every call, which the library converts and looks up afresh."""
    query_bytes = np.ascontiguousarray(query, dtype=">f4")
    encoded = b"".join([len(query).to_bytes(4, "big"), query_bytes.tobytes()])

    def per_call(filters):
        records = [filter.encoded() for filter in filters]

        def run():
            for record in records:
                query_buffer, filter_buffer = db._buffers(encoded, record)
                db._lib.take_bytes(db._call("method_vexraclient_search_with_filter",
                                            query_buffer, K, filter_buffer))
        return best_of(5, run) / len(records)

    def missing(size, nth):
        start = 10**6 + nth * size
        return In("b", range(start, start + size))

    def per_value(nth):
        return 1e9 * (per_call([missing(500, nth(i)) for i in range(calls)])
                      - per_call([missing(1, nth(i)) for i in range(calls)])) / 499
    return per_value(lambda i: 0), per_value(lambda i: i)


def filters():
    rng = np.random.default_rng(1)
    print("filters, 2,000 x 16 random, Euclidean, k=%d, one thread; %s" % (K, load_average()))
    with Client.open("", dimensions=16, metric="euclidean", persistent=False) as db:
        with_fields(db, rng.standard_normal((2000, 16)).astype(np.float32))
        queries = rng.standard_normal((300, 16)).astype(np.float32)
        cases = [("no filter", None), ('Eq("b", 3)', Eq("b", 3)),
                 ('Eq("half", True) (admits 50%)', Eq("half", True)),
                 ('In("b", 50 values)', In("b", range(50))),
                 ('In("b", 500 values) (admits 50%)', In("b", range(500))),
                 ('Gte("b", 500) (JSON extension)', Gte("b", 500))]
        times = {name: microseconds_per_search(db, queries, f) for name, f in cases}
        for name, us in times.items():
            print("  %-36s %8.1f us per call" % (name, us))
        in_500 = times['In("b", 500 values) (admits 50%)']
        print("  In of 500 values: %.2fx Eq(\"b\", 3), %.2fx Eq(\"half\", True), which admits "
              "the same vectors" % (in_500 / times['Eq("b", 3)'],
                                    in_500 / times['Eq("half", True) (admits 50%)']))
        print("  the library's cost per value of an In: %.0f ns repeated, %.0f ns on first use"
              % library_cost_per_value(db, queries[0]))

    vectors, queries = clustered_data(50_000)
    print("half admitted, 50,000 x 128 clustered, Euclidean, k=%d, one thread; %s"
          % (K, load_average()))
    with Client.open("", dimensions=128, metric="euclidean", persistent=False) as db:
        with_fields(db, vectors)
        half = In("b", range(FIELD_VALUES // 2))
        for form, rate in (
                ("loop of single searches",
                 lambda f: len(queries) / best_of(3, lambda: [db.search(q, K, f)
                                                              for q in queries])),
                ("search_batch, 1 thread",
                 lambda f: len(queries) / best_of(3, lambda: db.search_batch(queries, K, f, 1)))):
            unfiltered, filtered = rate(None), rate(half)
            print("  %-24s unfiltered %6.0f/s, In of 500 values %6.0f/s: %.2fx"
                  % (form, unfiltered, filtered, filtered / unfiltered))


def c_loop(program, directory, queries):
    """The C loop's queries per second on the graph of `directory`, or None (with the reason
    printed) when the program is missing or fails; its lines are printed."""
    if not program.is_file():
        print("  (no C figure: %s is not built at %s)" % (C_PROGRAM, program))
        return None
    asked = pathlib.Path(directory).with_suffix(".queries.f32")
    queries.astype("<f4").tofile(asked)
    run = subprocess.run([str(program), str(_ffi.library().path), "--loop-dir", str(directory),
                          str(asked), str(queries.shape[1])], capture_output=True, text=True)
    found = re.search(r"([0-9.]+) queries/s; distance sum", run.stdout)
    if run.returncode != 0 or not found:
        print("  %s failed: %s" % (program, (run.stderr or run.stdout).strip()))
        return None
    for line in run.stdout.splitlines():
        print("  from C: " + line)
    return float(found.group(1))


def batch_rates(directory, queries):
    """({threads: search_batch queries per second}, the answers of the last) on the graph of
    `directory`, reopened as a durable client."""
    rates = {}
    with Client.open(directory, dimensions=queries.shape[1], metric="euclidean") as db:
        for threads in (1, 2):
            answers = []
            seconds = best_of(3, lambda: answers.append(db.search_batch(queries, K,
                                                                        threads=threads)))
            rates[threads] = len(queries) / seconds
    return rates, answers[-1]


def hnswlib_at_recall(vectors, queries, truth, target):
    """hnswlib's (ef, queries per second, recall) on one thread at the smallest ef whose recall
    reaches `target`, or None without hnswlib."""
    try:
        import hnswlib
    except ImportError:
        print("  (no hnswlib figure: Debian's python3-hnswlib is not installed)")
        return None
    index = hnswlib.Index(space="l2", dim=vectors.shape[1])
    index.init_index(max_elements=len(vectors), ef_construction=EF_CONSTRUCTION, M=HNSW_M)
    index.set_num_threads(BUILD_THREADS)
    index.add_items(vectors, np.arange(len(vectors)))
    index.set_num_threads(1)
    for ef in range(10, 400, 2):
        index.set_ef(ef)
        labels, _ = index.knn_query(queries, K)
        found = recall(labels.tolist(), truth)
        if found >= target:
            seconds = best_of(3, lambda: index.knn_query(queries, K))
            return ef, len(queries) / seconds, found
    return None


def batch(program):
    vectors, queries = clustered_data(100_000)
    truth = exact_nearest(vectors, queries)
    print("batch search, 100,000 x 128 clustered, Euclidean, %d queries, k=%d; %s"
          % (len(queries), K, load_average()))
    with tempfile.TemporaryDirectory() as folder:
        # A graph draws its nodes' levels at random; a data directory's snapshot holds one graph
        # that this process and the C program then search alike.
        directory = pathlib.Path(folder, "db")
        with Client.open(directory, dimensions=vectors.shape[1], metric="euclidean") as db:
            db.upsert_batch([str(i) for i in range(len(vectors))], vectors)
            db.checkpoint()
        # Python, C, Python again: the faster of the two Python runs counts.
        rates, (ids, _) = batch_rates(directory, queries)
        loop = c_loop(program, directory, queries)
        again, _ = batch_rates(directory, queries)
        rates = {threads: max(rate, again[threads]) for threads, rate in rates.items()}
    ours = recall([[int(i) for i in row] for row in ids], truth)
    print("  search_batch: 1 thread %.0f/s, 2 threads %.0f/s (%.2fx); recall@10 %.3f"
          % (rates[1], rates[2], rates[2] / rates[1], ours))
    if loop is not None:
        print("  search_batch on 1 thread against the loop from C on the same graph: %.2fx"
              % (rates[1] / loop))
    theirs = hnswlib_at_recall(vectors, queries, truth, ours)
    if theirs is not None:
        ef, rate, found = theirs
        print("  hnswlib knn_query, 1 thread, at ef %d: %.0f/s, recall@10 %.3f "
              "(search_batch on 1 thread %.2fx)" % (ef, rate, found, rates[1] / rate))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--filters", action="store_true", help="only the filters' figures")
    parser.add_argument("--batch", action="store_true", help="only the batch figures")
    add_c_bench_argument(parser)
    args = parser.parse_args()
    program = c_bench_program(args)
    print("library %s" % _ffi.library().path)
    if not args.batch:
        filters()
    if not args.filters:
        batch(program)
    print(load_average())


if __name__ == "__main__":
    main()
