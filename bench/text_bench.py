"""Keyword and hybrid search on Debian's package descriptions, against SQLite's FTS5.

The corpus is the long descriptions of the packages in apt's English description index (see
examples/package_search.py, which loads it and makes the LSA vectors). Queries are held-out
fragments: for --queries packages with a description of their own (no other package has the
same text), a run of FRAGMENT words past its first quarter is the query, and the package is the
one right answer. By default the run stays in the indexed description (finding the package a
sentence comes from); with --cut it is cut out before anything is indexed, so that only the
rest of the description can match (a much harder task for both searches). The queries are split in two halves: the fusion
defaults are tuned on the first (a grid of text weights, constants and depths) and every figure
is reported on the second, so that the defaults are not fitted to the figures.

Figures, in one run on the same documents and queries:
  - MRR@10 and recall@10 of vector search (LSA vectors), keyword search and hybrid search (the
    library's defaults, and the best of the grid on the tuning half);
  - keyword search against FTS5's bm25() on the same documents (FTS5's unicode61 tokenizer,
    which splits and folds these texts as ours does): queries per second through Python (our
    text_search, sqlite3's MATCH ... ORDER BY bm25 LIMIT 10), with the time spent inside the
    library's call beside ours, and top-10 agreement (the share of FTS5's top 10 in ours);
  - index build time and memory per document: ours from set_text_index and the memory the
    library counts for the index (stats()), FTS5's from inserting the rows and its database
    pages;
  - a hybrid search's time against the sum of its two searches at the same depth.

Usage: PYTHONPATH=python /usr/bin/python3 bench/text_bench.py [--queries N] [--cut]
(the library from $VEXRADB_LIBRARY or build/; a Release build is what figures should use:
VEXRADB_LIBRARY=build-bench/libvexradb_bindings.so). Needs root the first time, to fetch apt's
description index."""

import argparse
import itertools
import os
import pathlib
import random
import re
import sqlite3
import statistics
import sys
import time
from collections import Counter

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from package_search import DIMENSIONS, Lsa, load_descriptions  # noqa: E402

from vexradb import Client  # noqa: E402
from vexradb.client import DEFAULT_FUSION  # noqa: E402

K = 10
FRAGMENT = 8  # words per query
MIN_WORDS = 30  # a query's description has at least this many words
WEIGHTS = [0.5, 0.7, 0.8, 0.9, 0.95]
CONSTANTS = [5, 10, 30, 60]
DEPTHS = [10, 20, 50]
FTS_TERM = re.compile(r"[^\W_]+")


def held_out_queries(descriptions, count, seed, cut):
    """[(package, fragment)] and the descriptions, with each fragment cut out of its own when
    `cut`."""
    rng = random.Random(seed)
    shared = Counter(descriptions.values())
    candidates = sorted(id for id, text in descriptions.items()
                        if shared[text] == 1 and len(text.split()) >= MIN_WORDS)
    chosen = rng.sample(candidates, count)
    indexed = dict(descriptions)
    queries = []
    for id in chosen:
        words = descriptions[id].split()
        start = rng.randrange(len(words) // 4, len(words) - FRAGMENT)  # past the short summary
        queries.append((id, " ".join(words[start:start + FRAGMENT])))
        if cut:
            indexed[id] = " ".join(words[:start] + words[start + FRAGMENT:])
    return queries, indexed


def rank_of(answer, ids):
    return ids.index(answer) + 1 if answer in ids else None


def quality(rankings):
    """(MRR@10, recall@10) of the answers' ranks (None: not in the top 10)."""
    mrr = statistics.fmean(1 / rank if rank else 0 for rank in rankings)
    recall = statistics.fmean(1 if rank else 0 for rank in rankings)
    return mrr, recall


def fts5_query(text):
    """The OR of the text's distinct terms, each quoted, as FTS5's query syntax takes them."""
    terms = list(dict.fromkeys(FTS_TERM.findall(text.lower())))
    return " OR ".join('"%s"' % term for term in terms)


class LibraryClock:
    """Adds up the time spent inside the library's calls (encoding and decoding excluded)."""

    def __init__(self, db):
        self._lib = db._lib
        self._call = self._lib.call
        self.seconds = 0.0

    def __enter__(self):
        def timed(*args):
            started = time.perf_counter()
            try:
                return self._call(*args)
            finally:
                self.seconds += time.perf_counter() - started
        self._lib.call = timed
        return self

    def __exit__(self, *exc):
        del self._lib.call  # the class's method again


def timed_loop(call, items, clock=None):
    """Seconds for call(item) over every item: the best of 3 rounds; with a LibraryClock, also
    the seconds spent inside the library in that round."""
    best = (float("inf"), 0.0)
    for _ in range(3):
        inside = clock.seconds if clock else 0.0
        started = time.perf_counter()
        for item in items:
            call(item)
        elapsed = time.perf_counter() - started
        best = min(best, (elapsed, clock.seconds - inside if clock else 0.0))
    return best if clock else best[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument("--cut", action="store_true",
                        help="cut each query's fragment out of its document before indexing")
    args = parser.parse_args()

    print("load average at start: %.2f %.2f %.2f" % os.getloadavg())
    descriptions = load_descriptions()
    queries, indexed = held_out_queries(descriptions, args.queries, args.seed, args.cut)
    print("fragments of %d words, %s their documents" % (
        FRAGMENT, "cut out of" if args.cut else "left in"))
    ids = list(indexed)
    texts = [indexed[id] for id in ids]
    started = time.perf_counter()
    lsa = Lsa(texts)
    print("%d documents, %d queries (%d to tune, %d to report); LSA (%d dimensions) in %.0f s"
          % (len(ids), len(queries), len(queries) // 2, len(queries) - len(queries) // 2,
             DIMENSIONS, time.perf_counter() - started))
    query_vectors = lsa.embed([text for _, text in queries])
    tune = list(range(len(queries) // 2))
    report = list(range(len(queries) // 2, len(queries)))

    with Client.open("", dimensions=DIMENSIONS, persistent=False) as db:
        db.upsert_batch(ids, lsa.vectors, [{"description": text} for text in texts])
        before = db.stats().memory_usage_bytes
        started = time.perf_counter()
        db.set_text_index(["description"])
        build_seconds = time.perf_counter() - started
        index_bytes = db.stats().memory_usage_bytes - before

        fts = sqlite3.connect(":memory:")
        fts.execute("CREATE VIRTUAL TABLE docs USING fts5(id UNINDEXED, description)")
        started = time.perf_counter()
        with fts:
            fts.executemany("INSERT INTO docs VALUES (?, ?)", zip(ids, texts))
        fts_build_seconds = time.perf_counter() - started
        fts_bytes = (fts.execute("PRAGMA page_count").fetchone()[0]
                     * fts.execute("PRAGMA page_size").fetchone()[0])

        def vector_ranks(chosen, depth=K):
            return [rank_of(queries[i][0],
                            [hit.id for hit in db.search(query_vectors[i], depth)][:K])
                    for i in chosen]

        def keyword_ranks(chosen):
            return [rank_of(queries[i][0], [hit.id for hit in db.text_search(queries[i][1], K)])
                    for i in chosen]

        def hybrid_ranks(chosen, fusion):
            return [rank_of(queries[i][0], [hit.id for hit in db.hybrid_search(
                query_vectors[i], queries[i][1], K, fusion=fusion)]) for i in chosen]

        # ---- tuning half -------------------------------------------------------------------
        grid = []
        for weight, constant, depth in itertools.product(WEIGHTS, CONSTANTS, DEPTHS):
            fusion = {"text_weight": weight, "constant": constant, "depth": depth}
            grid.append((quality(hybrid_ranks(tune, fusion))[0], fusion))
        grid.sort(key=lambda entry: -entry[0])
        print("\ntuning half: keyword MRR@10 %.4f, vector %.4f; best fusions:"
              % (quality(keyword_ranks(tune))[0], quality(vector_ranks(tune))[0]))
        for mrr, fusion in grid[:8]:
            print("  MRR@10 %.4f  %s" % (mrr, fusion))
        tuned = grid[0][1]

        # ---- reported half -----------------------------------------------------------------
        print("\nreported half (%d queries):" % len(report))
        print("| search | MRR@10 | recall@10 |\n| --- | --- | --- |")
        rows = [("vector only (LSA)", vector_ranks(report)),
                ("keyword only (BM25)", keyword_ranks(report)),
                ("hybrid, library defaults %s" % DEFAULT_FUSION,
                 hybrid_ranks(report, None)),
                ("hybrid, best on the tuning half %s" % tuned, hybrid_ranks(report, tuned)),
                ("hybrid, plain RRF of 50-deep lists",
                 hybrid_ranks(report, {"text_weight": 0.5, "constant": 60, "depth": 50}))]
        for name, ranks in rows:
            print("| %s | %.4f | %.4f |" % ((name,) + quality(ranks)))

        # ---- keyword search against FTS5 ---------------------------------------------------
        texts_reported = [queries[i][1] for i in report]
        fts_sql = "SELECT id FROM docs WHERE docs MATCH ? ORDER BY bm25(docs) LIMIT %d" % K
        agreement = []
        for text in texts_reported:
            ours = {hit.id for hit in db.text_search(text, K)}
            theirs = [row[0] for row in fts.execute(fts_sql, (fts5_query(text),))]
            if theirs:
                agreement.append(len(ours.intersection(theirs)) / len(theirs))
        with LibraryClock(db) as clock:
            ours_seconds, library_seconds = timed_loop(lambda text: db.text_search(text, K),
                                                       texts_reported, clock)
        fts_seconds = timed_loop(lambda text: fts.execute(fts_sql, (fts5_query(text),)).fetchall(),
                                 texts_reported)
        count = len(texts_reported)
        print("\nkeyword search, %d queries, k = %d (best of 3 rounds, one thread):" % (count, K))
        print("| | queries/s | ms/query | build s | index bytes/doc |\n| --- | --- | --- | --- | --- |")
        print("| VexraDB text_search (Python) | %.0f | %.3f | %.2f | %.0f |"
              % (count / ours_seconds, 1000 * ours_seconds / count, build_seconds,
                 index_bytes / len(ids)))
        print("| of which inside the library call | | %.3f | | |" % (1000 * library_seconds / count))
        print("| SQLite FTS5 bm25() (Python sqlite3) | %.0f | %.3f | %.2f | %.0f |"
              % (count / fts_seconds, 1000 * fts_seconds / count, fts_build_seconds,
                 fts_bytes / len(ids)))
        print("top-10 agreement with FTS5: %.4f (over %d queries FTS5 answers)"
              % (statistics.fmean(agreement), len(agreement)))

        # ---- hybrid cost -------------------------------------------------------------------
        depth = DEFAULT_FUSION["depth"]
        pairs = [(query_vectors[i], queries[i][1]) for i in report]
        hybrid_seconds = timed_loop(lambda pair: db.hybrid_search(pair[0], pair[1], K), pairs)
        vector_seconds = timed_loop(lambda pair: db.search(pair[0], depth), pairs)
        keyword_seconds = timed_loop(lambda pair: db.text_search(pair[1], depth), pairs)
        print("\nhybrid search (depth %d) %.3f ms/query; vector search %.3f + keyword search "
              "%.3f = %.3f ms at the same depth (ratio %.2f)"
              % (depth, 1000 * hybrid_seconds / count, 1000 * vector_seconds / count,
                 1000 * keyword_seconds / count, 1000 * (vector_seconds + keyword_seconds) / count,
                 hybrid_seconds / (vector_seconds + keyword_seconds)))
    print("\nload average at end: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
