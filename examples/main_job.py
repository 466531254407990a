"""A realistic session with VexraDB: load a product catalogue of embedding vectors with
metadata, search it plainly and with metadata filters, and measure recall against an exact
scan and the query rate.

Run it with scripts/main.sh (it builds the library first)."""

import argparse
import random
import sys
import time

import vexradb
from vexradb import Client, Eq, In

try:
    import numpy as np
except ImportError:
    np = None

DIMENSIONS = 128
CATEGORIES = ["books", "music", "films", "games", "garden", "kitchen", "sports", "toys"]


def catalogue(count, seed=7):
    """Clustered unit vectors (one topic per cluster) with product metadata."""
    rng = random.Random(seed)
    topics = [[rng.gauss(0, 1) for _ in range(DIMENSIONS)] for _ in range(64)]
    items = []
    for i in range(count):
        topic = topics[rng.randrange(len(topics))]
        vector = [x + rng.gauss(0, 0.6) for x in topic]
        metadata = {
            "category": CATEGORIES[rng.randrange(len(CATEGORIES))],
            "price": round(rng.uniform(2, 200), 2),
            "year": rng.randrange(2015, 2025),
            "in_stock": rng.random() < 0.8,
        }
        items.append(("sku-%06d" % i, vector, metadata))
    return items


def progress(done, total, started, width=40):
    filled = width * done // total
    rate = done / max(time.perf_counter() - started, 1e-9)
    sys.stdout.write("\r  [%s%s] %7d/%d  %8.0f vectors/s" % (
        "#" * filled, "." * (width - filled), done, total, rate))
    sys.stdout.flush()


def load(db, items, chunk=5000):
    print("Loading %d vectors of %d dimensions by batch upsert" % (len(items), DIMENSIONS))
    started = time.perf_counter()
    for start in range(0, len(items), chunk):
        db.upsert_batch(items[start:start + chunk])
        progress(min(start + chunk, len(items)), len(items), started)
    print("\n  done in %.1f s\n" % (time.perf_counter() - started))


def print_hits(title, hits):
    print(title)
    print("  %-4s %-12s %-9s %-9s %8s %5s" % ("rank", "id", "distance", "category", "price", "year"))
    for rank, hit in enumerate(hits, 1):
        m = hit.metadata or {}
        print("  %-4d %-12s %-9.5f %-9s %8.2f %5s" % (
            rank, hit.id, hit.distance, m.get("category", "-"), m.get("price", 0), m.get("year", "-")))
    print()


def exact_neighbours(items, queries, k):
    """The true k nearest by cosine distance, by exhaustive scan."""
    if np is None:
        return None
    base = np.asarray([v for _, v, _ in items], dtype=np.float32)
    base /= np.linalg.norm(base, axis=1, keepdims=True)
    q = np.asarray(queries, dtype=np.float32)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    scores = q @ base.T
    top = np.argpartition(-scores, k, axis=1)[:, :k]
    return [{items[i][0] for i in row} for row in top]


def measure(db, items, queries, k=10):
    started = time.perf_counter()
    results = [db.search(q, k) for q in queries]
    elapsed = time.perf_counter() - started
    print("Queries: %d searches (k=%d) in %.2f s: %.0f queries/s from Python, one thread" % (
        len(queries), k, elapsed, len(queries) / elapsed))
    truth = exact_neighbours(items, queries, k)
    if truth is None:
        print("Recall: numpy is not installed, skipped")
        return
    found = sum(len(truth[i] & {h.id for h in hits}) for i, hits in enumerate(results))
    print("Recall@%d against an exact scan: %.4f" % (k, found / (k * len(queries))))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--count", type=int, default=50000, help="vectors to load")
    parser.add_argument("--queries", type=int, default=300, help="queries for recall and rate")
    args = parser.parse_args()

    print(vexradb.system_info().replace("\n", " | "), "\n")
    items = catalogue(args.count)
    rng = random.Random(11)
    queries = [[x + rng.gauss(0, 0.3) for x in items[rng.randrange(len(items))][1]]
               for _ in range(args.queries)]

    with Client.in_memory(DIMENSIONS) as db:
        load(db, items)
        print_hits("Nearest products to a query:", db.search(queries[0], 5))
        wanted = Eq("category", "books") & In("year", [2022, 2023]) & Eq("in_stock", True)
        print_hits("Same query, in-stock books from 2022 or 2023:",
                   db.search(queries[0], 5, filter=wanted))
        measure(db, items, queries)
        stats = db.stats()
        print("Stats: %d vectors, %d dimensions, %.1f MiB estimated, compression %.1fx" % (
            stats.vector_count, stats.dimensions, stats.memory_usage_bytes / 2**20,
            stats.compression_ratio))


if __name__ == "__main__":
    main()
