"""A realistic session with VexraDB: load a product catalogue of embedding vectors with
metadata into a durable database on a data directory, search it plainly and with metadata
filters, measure recall against an exact scan and the query rate, checkpoint, reopen the
directory and check that the reopened database answers exactly as before; then change a few
products, close without a checkpoint and reopen from the log.

Run it with scripts/main.sh (it builds the library first)."""

import argparse
import os
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


def print_hits(title, hits, asked):
    print("%s (%d results of %d asked)" % (title, len(hits), asked))
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


def answers(db, queries, k=10):
    return [db.search(q, k) for q in queries]


def measure(db, items, queries, k=10):
    """Prints the query rate and recall; returns the answers for later comparison."""
    started = time.perf_counter()
    results = answers(db, queries, k)
    elapsed = time.perf_counter() - started
    print("Queries: %d searches (k=%d) in %.2f s: %.0f queries/s from Python, one thread" % (
        len(queries), k, elapsed, len(queries) / elapsed))
    truth = exact_neighbours(items, queries, k)
    if truth is None:
        print("Recall: numpy is not installed, skipped")
    else:
        found = sum(len(truth[i] & {h.id for h in hits}) for i, hits in enumerate(results))
        print("Recall@%d against an exact scan: %.4f" % (k, found / (k * len(queries))))
    return results


def timed(title, action):
    started = time.perf_counter()
    result = action()
    print("%s in %.2f s" % (title, time.perf_counter() - started))
    return result


def open_catalogue(path):
    return Client.open(path, dimensions=DIMENSIONS, metric="cosine", persistent=True,
                       label="catalogue")


def print_stats(db):
    stats = db.stats()
    print("Stats: %d vectors, %d dimensions, %.1f MiB estimated, compression %.1fx\n" % (
        stats.vector_count, stats.dimensions, stats.memory_usage_bytes / 2**20,
        stats.compression_ratio))


def check(condition, message):
    if not condition:
        sys.exit("FAILED: " + message)
    print("  ok: " + message)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--count", type=int, default=50000, help="vectors to load")
    parser.add_argument("--queries", type=int, default=300, help="queries for recall and rate")
    parser.add_argument("--data-dir", default="vexradb-data/catalogue",
                        help="the database's data directory (created if missing)")
    args = parser.parse_args()

    print(vexradb.system_info().replace("\n", " | "), "\n")
    items = catalogue(args.count)
    rng = random.Random(11)
    queries = [[x + rng.gauss(0, 0.3) for x in items[rng.randrange(len(items))][1]]
               for _ in range(args.queries)]
    wanted = Eq("category", "books") & In("year", [2022, 2023]) & Eq("in_stock", True)
    rare = Eq("category", "books") & Eq("year", 2015) & Eq("in_stock", False)

    print("Data directory: %s" % os.path.abspath(args.data_dir))
    with timed("Opened", lambda: open_catalogue(args.data_dir)) as db:
        if len(db):
            print("  it already holds %d vectors from an earlier run: they are replaced" % len(db))
        print()
        load(db, items)
        print_hits("Nearest products to a query:", db.search(queries[0], 5), 5)
        print_hits("Same query, in-stock books from 2022 or 2023:",
                   db.search(queries[0], 5, filter=wanted), 5)
        print_hits("Same query, sold-out books from 2015 (a rare kind):",
                   db.search(queries[0], 5, filter=rare), 5)
        measure(db, items, queries)
        print_stats(db)
        timed("Checkpoint (snapshot of vectors and graph, fresh log)", db.checkpoint)
        before = answers(db, queries)
        filtered_before = db.search(queries[0], 5, filter=wanted)

    print("\nReopening the directory from its snapshot")
    with timed("Reopened", lambda: open_catalogue(args.data_dir)) as db:
        check(len(db) == len(items), "all %d vectors are back" % len(items))
        check(measure(db, items, queries) == before,
              "every search answers exactly as before closing")
        check(db.search(queries[0], 5, filter=wanted) == filtered_before, "filtered search too")
        sold_out = [item_id for item_id, _, _ in items[:100]]
        for item_id in sold_out:
            db.delete(item_id)
        repriced_id, repriced_vector, repriced = items[100]
        db.upsert(repriced_id, repriced_vector, dict(repriced, price=1.0))
        db.sync()
        print("Deleted %d products and repriced one; closing without a checkpoint\n" %
              len(sold_out))

    print("Reopening: snapshot plus the changes in the log")
    with timed("Reopened", lambda: open_catalogue(args.data_dir)) as db:
        check(len(db) == len(items) - len(sold_out), "the deletions survived")
        check(all(db.get(item_id) is None for item_id in sold_out), "deleted products stay gone")
        check(db.get(repriced_id).metadata["price"] == 1.0, "the new price survived")
        hits = db.search(queries[0], 10)
        check(not {h.id for h in hits} & set(sold_out), "searches never return deleted products")
        print_stats(db)


if __name__ == "__main__":
    main()
