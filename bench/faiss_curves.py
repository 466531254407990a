"""FAISS's HNSW on the sets `vexradb_engine_bench --curves FOLDER` wrote, swept as that benchmark
sweeps both engines, and printed in the same form, so that plot_figures.py draws its curve beside
theirs.

For each set listed in FOLDER/sets.tsv: IndexHNSWFlat with M = 16 and efConstruction = 200, built
on as many threads as the machine has processors, then for each efSearch of the sweep one search
call over every query with k = 10 on one thread (FAISS's fastest form), the fastest of at least
three passes; recall@10 against the truth the benchmark computed by brute force.

Usage: /usr/bin/python3 bench/faiss_curves.py FOLDER [--quick]
(Debian's interpreter, which has python3-faiss and numpy; --quick times passes for 0.1 s instead
of 1 s, as the benchmark's quick mode does). Without FAISS it says so and prints no curve.
"""

import argparse
import os
import pathlib
import time

import numpy as np

K = 10
HNSW_M = 16
EF_CONSTRUCTION = 200
EF_SWEEP = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512)  # the benchmark's sweep
WARMUP_QUERIES = 100
MIN_PASSES = 3  # as the benchmark: one pass of the widest beams alone would catch any burst of load


def load_average():
    with open("/proc/loadavg", encoding="ascii") as loadavg:
        return " ".join(loadavg.read().split()[:3])


def read_vecs(path, dtype):
    """The rows of an .fvecs or .ivecs file: each row its length as int32, then its values."""
    raw = np.fromfile(path, dtype=np.int32)
    width = int(raw[0])
    return raw.reshape(-1, width + 1)[:, 1:].copy().view(dtype)


def recall_at_k(labels, truth):
    hits = sum(len(np.intersect1d(found, nearest)) for found, nearest in zip(labels, truth))
    return hits / (K * len(truth))


def fastest_pass(index, queries, min_seconds):
    """(queries per second, labels): the fastest of search calls over every query repeated
    until `min_seconds` have passed and at least MIN_PASSES were made; on a shared machine the
    others are slowed by whatever else runs."""
    index.search(queries[:WARMUP_QUERIES], K)
    fastest = float("inf")
    passes = 0
    start = time.perf_counter()
    while passes < MIN_PASSES or time.perf_counter() - start < min_seconds:
        pass_start = time.perf_counter()
        _, labels = index.search(queries, K)
        fastest = min(fastest, time.perf_counter() - pass_start)
        passes += 1
    return len(queries) / fastest, labels


def measure_set(faiss, folder, slug, min_seconds):
    base = read_vecs(folder / (slug + ".base.fvecs"), np.float32)
    queries = read_vecs(folder / (slug + ".query.fvecs"), np.float32)
    truth = read_vecs(folder / (slug + ".truth.ivecs"), np.int32)
    faiss.omp_set_num_threads(os.cpu_count())
    index = faiss.IndexHNSWFlat(base.shape[1], HNSW_M)
    index.hnsw.efConstruction = EF_CONSTRUCTION
    index.add(base)
    faiss.omp_set_num_threads(1)
    points = []
    for ef in EF_SWEEP:
        index.hnsw.efSearch = ef
        rate, labels = fastest_pass(index, queries, min_seconds)
        points.append((ef, recall_at_k(labels, truth), rate))
    return len(base), len(queries), points


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    try:
        import faiss
    except ImportError:
        print("FAISS is not importable (Debian's python3-faiss, which scripts/setup.sh installs): "
              "no FAISS curve")
        return
    try:
        with open(args.folder / "sets.tsv", encoding="utf-8") as sets:
            listed = [line.rstrip("\n").split("\t", 1) for line in sets if line.strip()]
    except FileNotFoundError:
        raise SystemExit("no sets in %s: run vexradb_engine_bench --curves %s first"
                         % (args.folder, args.folder))
    min_seconds = 0.1 if args.quick else 1.0
    print("FAISS %s IndexHNSWFlat curves: M = %d, efConstruction = %d, k = %d; built on %d "
          "threads; one search call over the query set on 1 thread, the fastest of at least %d "
          "passes and %.1f s; load average %s\n"
          % (faiss.__version__, HNSW_M, EF_CONSTRUCTION, K, os.cpu_count(), MIN_PASSES,
             min_seconds, load_average()))
    for slug, name in listed:
        count, query_count, points = measure_set(faiss, args.folder, slug, min_seconds)
        print("%s: %d vectors, %d queries; load average %s"
              % (name, count, query_count, load_average()))
        print("  %4s | %-21s" % ("ef", "FAISS"))
        print("  %4s | %10s %10s" % ("", "recall@10", "queries/s"))
        for ef, recall, rate in points:
            print("  %4d | %10.4f %10.0f" % (ef, recall, rate))
        print()
    print("load average %s" % load_average())


if __name__ == "__main__":
    main()
