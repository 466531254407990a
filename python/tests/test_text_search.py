"""Keyword and hybrid search through the package, against SQLite's FTS5 on a fixed corpus."""

import random
import sqlite3

import pytest

from vexradb import Client, Eq, errors
from vexradb.client import fuse

# Short package descriptions written for these tests; tokenizing agrees with FTS5's unicode61
# on them (case, punctuation and accents included).
CORPUS = {
    "zstd": "Zstandard: a fast, lossless compression algorithm with real-time speed.",
    "gzip": "GNU compression utility; reduces the size of files with Lempel-Ziv coding.",
    "xz": "XZ utils compress files with LZMA compression. Smaller than gzip, slower too.",
    "bzip2": "bzip2 compresses files with the Burrows-Wheeler block-sorting text compression.",
    "vim": "Vim is an almost compatible version of the UNIX editor vi; a text editor.",
    "nano": "Small, friendly text editor inspired by Pico.",
    "emacs": "GNU Emacs: the extensible, self-documenting text editor.",
    "curl": "Command-line tool for transferring data with URL syntax over HTTP and FTP.",
    "wget": "Retrieves files from the web using HTTP, HTTPS and FTP; a network utility.",
    "git": "Fast, scalable, distributed revision control system.",
    "mercurial": "Easy-to-use, scalable distributed version control system.",
    "sqlite3": "Command-line interface for SQLite 3, a C library that implements SQL.",
    "postgresql": "Object-relational SQL database; a fully featured database server.",
    "redis": "Persistent key-value database with network interface.",
    "nginx": "Small, powerful, scalable web/proxy server with high concurrency.",
    "apache2": "Apache HTTP Server: the open source HTTP server.",
    "python3": "Interactive high-level object-oriented language (Python 3).",
    "perl": "Larry Wall's Practical Extraction and Report Language.",
    "gcc": "GNU C compiler: a fairly portable optimizing compiler for C.",
    "clang": "C, C++ and Objective-C compiler front end for LLVM.",
    "café": "Crème brûlée café menu editor for the Café de Flore (naïve test of accents).",
    "lzip": "Lossless data compressor based on LZMA, with integrity checking.",
    "rsync": "Fast, versatile, remote (and local) file-copying tool; compression optional.",
    "ffmpeg": "Tools for transcoding, streaming and playing multimedia files.",
}
QUERIES = ["compression", "text editor", "fast compression files", "http server", "gnu",
           "sql database server", "CAFÉ editor", "distributed version control", "lzma files",
           "c compiler", "network utility files"]


def vector_of(id):
    rng = random.Random(id)
    return [rng.gauss(0, 1) for _ in range(4)]


def store(db):
    for i, (id, body) in enumerate(CORPUS.items()):
        db.insert(id, vector_of(id), {"body": body, "group": "odd" if i % 2 else "even"})


@pytest.fixture
def db():
    with Client.open("", dimensions=4, persistent=False, text_fields=["body"]) as client:
        store(client)
        yield client


def fts5_top(text, k):
    """FTS5's best k for the OR of the query's terms: (id, -bm25) pairs."""
    connection = sqlite3.connect(":memory:")
    connection.execute("CREATE VIRTUAL TABLE docs USING fts5(id UNINDEXED, body)")
    connection.executemany("INSERT INTO docs VALUES (?, ?)", CORPUS.items())
    query = " OR ".join('"%s"' % word for word in text.replace("-", " ").split())
    return [(id, -score) for id, score in connection.execute(
        "SELECT id, bm25(docs) FROM docs WHERE docs MATCH ? ORDER BY bm25(docs), rowid LIMIT ?",
        (query, k))]


def test_keyword_results_match_fts5_bm25(db):
    for text in QUERIES:
        ours = [(hit.id, hit.score) for hit in db.text_search(text, 10)]
        theirs = fts5_top(text, 10)
        assert [id for id, _ in ours] == [id for id, _ in theirs], text
        for (_, score), (_, expected) in zip(ours, theirs):
            assert score == pytest.approx(expected, rel=1e-9), text


def test_filters_hybrid_search_and_bad_input(db):
    odd = db.text_search("compression files", 10, filter=Eq("group", "odd"))
    assert odd and all(hit.metadata["group"] == "odd" for hit in odd)
    everything = db.text_search("compression files", 10)
    assert [hit.id for hit in odd] == [hit.id for hit in everything
                                       if hit.metadata["group"] == "odd"]
    query = vector_of("nano")
    fusion = {"depth": 8, "constant": 60, "text_weight": 0.7}
    hybrid = db.search(query, 5, text="text editor", fusion=fusion)
    expected = fuse(db.search(query, 8), db.text_search("text editor", 8), 5, fusion)
    assert hybrid == expected
    odd_hybrid = db.search(query, 5, text="text editor", filter=Eq("group", "odd"))
    assert odd_hybrid == fuse(db.search(query, 50, filter=Eq("group", "odd")),
                              db.text_search("text editor", 50, filter=Eq("group", "odd")), 5)
    assert all(hit.metadata["group"] == "odd" for hit in odd_hybrid)
    assert hybrid[0].vector_rank is not None or hybrid[0].text_rank is not None
    both = [hit for hit in hybrid if hit.vector_rank and hit.text_rank]
    assert all(hit.distance is not None and hit.text_score > 0 for hit in both)
    with pytest.raises(errors.VexraError, match="text"):
        db.text_search("", 5)
    assert db.text_search(" -- !! ", 5) == []
    with pytest.raises(errors.VexraError, match="text_weight|text weight"):
        db.search(query, 5, text="editor", fusion={"text_weight": 2})
    with pytest.raises(errors.VexraError, match="fusion depth"):
        db.search(query, 5, text="editor", fusion={"depth": 2.5})
    with pytest.raises(errors.SerializationError):
        db.set_text_index(["body"], k1="high")
    with pytest.raises(errors.VexraError, match="klingon"):
        db.set_text_index(["body"], language="klingon")
    # A field that is a number in some documents: those are not indexed by it.
    db.upsert("zstd", vector_of("zstd"), {"body": 42})
    assert "zstd" not in [hit.id for hit in db.text_search("compression", 30)]


def test_a_reopened_database_rebuilds_its_index(tmp_path):
    with Client.open(tmp_path, dimensions=4, text_fields=["body"], text_language="english") as db:
        store(db)
        db.delete("gzip")
        db.checkpoint()
        db.upsert("nano", vector_of("nano"), {"body": "a compressing editor"})
        before = db.text_search("compressed editors", 10)
    assert before and "gzip" not in [hit.id for hit in before]
    with Client.open(tmp_path, dimensions=4, text_fields=["body"], text_language="english") as db:
        assert db.text_search("compressed editors", 10) == before
    with Client.open(tmp_path, dimensions=4) as db:
        with pytest.raises(errors.InvalidConfigurationError):
            db.text_search("editor", 10)
