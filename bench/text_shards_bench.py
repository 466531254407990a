"""What per-shard BM25 statistics cost a sharded keyword search, on Debian's package
descriptions.

A sharded database scores each document with the statistics of its own shard (document count,
term frequencies, field lengths), not those of the whole corpus. This compares, on the queries
and documents of bench/text_bench.py (fragments left in their documents, the reported half),
the keyword search of a ShardedClient over in-memory shards on a local Dask cluster with that of
one database holding everything: top-10 agreement (the share of the single database's top 10
that the sharded search also returns), whether the first hit is the same, the relative
difference of the scores of hits both return, and MRR@10 of each.

Usage: PYTHONPATH=python /usr/bin/python3 bench/text_shards_bench.py [--shards N]
(the library from $VEXRADB_LIBRARY or build/; the workers inherit the environment)."""

import argparse
import os
import pathlib
import statistics
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from text_bench import K, held_out_queries, load_descriptions, quality, rank_of  # noqa: E402

from vexradb import Client  # noqa: E402

DIMENSIONS = 8  # keyword search only: the vectors are placeholders


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--shards", type=int, default=2)
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=11)
    args = parser.parse_args()
    from dask.distributed import Client as DaskClient, LocalCluster
    from vexradb.distributed import ShardedClient

    print("load average at start: %.2f %.2f %.2f" % os.getloadavg())
    queries, indexed = held_out_queries(load_descriptions(), args.queries, args.seed, cut=False)
    reported = queries[len(queries) // 2:]
    ids = list(indexed)
    vectors = np.random.default_rng(0).standard_normal((len(ids), DIMENSIONS), dtype=np.float32)
    metadata = [{"description": indexed[id]} for id in ids]
    with LocalCluster(n_workers=args.shards, threads_per_worker=1) as cluster, \
            DaskClient(cluster, direct_to_workers=True) as dask, \
            ShardedClient.in_memory(DIMENSIONS, shards=args.shards, client=dask,
                                    text_fields=["description"]) as sharded, \
            Client.open("", dimensions=DIMENSIONS, persistent=False,
                        text_fields=["description"]) as single:
        sharded.upsert_batch(ids, vectors, metadata)
        single.upsert_batch(ids, vectors, metadata)
        agreement, same_first, score_gaps, ranks = [], [], [], {"single": [], "sharded": []}
        for answer, text in reported:
            one = single.text_search(text, K)
            many = sharded.text_search(text, K)
            scores = {hit.id: hit.score for hit in many}
            agreement.append(len(scores.keys() & {hit.id for hit in one}) / max(1, len(one)))
            same_first.append(bool(one and many and one[0].id == many[0].id))
            score_gaps += [abs(scores[hit.id] - hit.score) / hit.score
                           for hit in one if hit.id in scores]
            ranks["single"].append(rank_of(answer, [hit.id for hit in one]))
            ranks["sharded"].append(rank_of(answer, [hit.id for hit in many]))
    print("%d documents over %d shards, %d queries:" % (len(ids), args.shards, len(reported)))
    print("| | value |\n| --- | --- |")
    print("| top-10 agreement with one database | %.4f |" % statistics.fmean(agreement))
    print("| same first hit | %.4f |" % statistics.fmean(same_first))
    print("| relative score difference, median / max | %.4f / %.4f |"
          % (statistics.median(score_gaps), max(score_gaps)))
    print("| MRR@10 one database / sharded | %.4f / %.4f |"
          % (quality(ranks["single"])[0], quality(ranks["sharded"])[0]))
    print("load average at end: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
