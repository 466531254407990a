"""The vexradb command-line tool on real data directories."""

import json
import os
import resource
import signal
import struct
import subprocess

import numpy as np
import pytest

import vexradb

TOOL = os.environ["VEXRADB_CLI"]
DIM = 8


def run(*args, check=True, **popen):
    done = subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, **popen)
    if check and done.returncode != 0:
        raise AssertionError("vexradb %s: %d\n%s" % (args, done.returncode, done.stderr))
    return done


def limited(what, value):
    """A preexec_fn setting a resource limit of the tool's process."""
    def limit():
        # A write beyond the file-size limit then fails with EFBIG instead of killing the tool.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(what, (value, value))
    return limit


def json_lines(text):
    return [json.loads(line) for line in text.splitlines()]


def directory_bytes(path):
    """Every file under `path` with its bytes, and every directory."""
    found = {}
    for root, dirs, files in os.walk(path):
        for name in dirs:
            found[os.path.relpath(os.path.join(root, name), path)] = None
        for name in files:
            full = os.path.join(root, name)
            with open(full, "rb") as f:
                found[os.path.relpath(full, path)] = f.read()
    return found


def flip_byte(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([byte ^ 0x10]))


@pytest.fixture
def vectors():
    return np.random.default_rng(7).standard_normal((300, DIM)).astype(np.float32)


@pytest.fixture
def loaded(tmp_path, vectors):
    """A data directory with a snapshot of 300 rows and, after it, 20 upserts with metadata (of
    vectors unlike the rows, so that no search has ties)."""
    data = tmp_path / "db"
    np.save(tmp_path / "rows.npy", vectors)
    run("import", data, tmp_path / "rows.npy", "--metric", "euclidean", "--id-prefix", "r")
    run("checkpoint", data, "--metric", "euclidean")
    with open(tmp_path / "extra.jsonl", "w") as f:
        for i in range(20):
            metadata = {"price": i * 10, "tag": "even" if i % 2 == 0 else "odd"}
            record = {"id": "m%d" % i, "vector": (vectors[i] * 2).tolist(), "metadata": metadata}
            f.write(json.dumps(record) + "\n")
    run("import", data, tmp_path / "extra.jsonl", "--metric", "euclidean")
    return data


def snapshot_files(data):
    return sorted((data / "snapshots").glob("*.snap"))


def test_each_verb_on_a_real_directory(tmp_path, loaded, vectors):
    info = run("info", loaded).stdout
    assert "dimensions: 8\n" in info
    assert "vectors: 320\n" in info
    assert "snapshots: 1\n" in info
    # The snapshot holds 300 upserts (a delete and an insert each); the log begins with the
    # checkpoint's record, then 20 upserts.
    assert "up to sequence 600," in info
    assert "log: 41 records" in info
    assert "newest sequence: 641\n" in info

    dumped = {row["id"]: row for row in json_lines(run("dump", loaded).stdout)}
    assert len(dumped) == 320
    assert np.array_equal(np.array(dumped["r17"]["vector"], dtype=np.float32), vectors[17])
    assert dumped["m3"]["metadata"] == {"price": 30, "tag": "odd"}
    assert dumped["r3"]["metadata"] is None

    # What the tool finds is what a client opened on the directory finds, bit for bit.
    query = vectors[5] + 0.01
    hits = json_lines(run("search", loaded, "--vector", json.dumps(query.tolist()), "-k", 5,
                          "--metric", "euclidean").stdout)
    with vexradb.Client.open(loaded, dimensions=DIM, metric="euclidean") as client:
        expected = client.search(query.tolist(), 5)
        cheap_even = vexradb.Lt("price", 100) & ~vexradb.Eq("tag", "odd")
        by_range = client.search((vectors[4] * 2).tolist(), 3, cheap_even)
    assert [h["id"] for h in hits] == [r.id for r in expected]
    assert [np.float32(h["distance"]) for h in hits] == [np.float32(r.distance) for r in expected]
    filtered = json_lines(run("search", loaded, "--id", "m4", "-k", 3, "--metric", "euclidean",
                              "--filter", '{"and":[{"field":"price","lt":100},'
                                          '{"not":{"field":"tag","eq":"odd"}}]}').stdout)
    assert [h["id"] for h in filtered] == [r.id for r in by_range]
    assert all(h["metadata"]["price"] < 100 and h["metadata"]["tag"] == "even" for h in filtered)

    rows = np.random.default_rng(8).standard_normal((5, DIM)).astype(np.float32)
    with open(tmp_path / "more.fvecs", "wb") as f:
        for row in rows:
            f.write(struct.pack("<i", DIM) + row.tobytes())
    assert run("import", loaded, tmp_path / "more.fvecs", "--id-prefix", "f",
               "--metric", "euclidean").stdout == "imported 5 vectors\n"
    assert run("checkpoint", loaded, "--metric", "euclidean").stdout.startswith(
        "checkpoint written: 325 vectors")
    assert len(snapshot_files(loaded)) == 2
    assert run("verify", loaded).stdout == "sound\n"


def test_the_directory_gives_its_metric(loaded, vectors):
    info = run("info", loaded).stdout
    assert "metric: euclidean\nlast opened as: full precision\n" in info
    query = json.dumps((vectors[5] + 0.01).tolist())
    assert run("search", loaded, "--vector", query).stdout == run(
        "search", loaded, "--vector", query, "--metric", "euclidean").stdout
    for verb in (("search", loaded, "--vector", query, "--metric", "cosine"),
                 ("checkpoint", loaded, "--metric", "dot")):
        refused = run(*verb, check=False)
        assert refused.returncode == 2
        assert ("Invalid configuration: the data directory was written with metric euclidean, "
                "this client asks for %s" % verb[-1]) in refused.stderr

    manifest = (loaded / "manifest.json").read_text()
    (loaded / "manifest.json").write_text(manifest.replace("euclidean", "manhattan"))
    verified = run("verify", loaded, check=False)
    assert verified.returncode == 1
    assert 'damage: manifest.json: not a data directory manifest that this version reads (its ' \
           '"metric" is "manhattan", not one of cosine, euclidean, dot)' in verified.stdout
    assert "is \"manhattan\"" in run("info", loaded, check=False).stderr

    # Written before manifests existed: any metric, as the user says.
    os.remove(loaded / "manifest.json")
    info = run("info", loaded).stdout
    assert "metric: not stored in the directory (each client gives its own)\n" in info
    assert "last opened as: not stored in the directory\n" in info
    assert run("search", loaded, "--vector", query, "--metric", "dot").stdout != run(
        "search", loaded, "--vector", query, "--metric", "euclidean").stdout
    assert run("verify", loaded).stdout == "sound\n"


def test_read_verbs_leave_the_directory_byte_for_byte(loaded, vectors):
    # A torn last frame, which opening the directory as a client would cut.
    with open(loaded / "wal" / "current.wal", "ab") as f:
        f.write(b"\x40\x00\x00\x00\x01\x02")
    before = directory_bytes(loaded)
    assert "vectors: 320\n" in run("info", loaded).stdout
    verified = run("verify", loaded)
    assert verified.returncode == 0
    assert "note: wal/current.wal at offset" in verified.stdout
    assert len(json_lines(run("dump", loaded).stdout)) == 320
    run("search", loaded, "--id", "r1", "--metric", "euclidean")
    assert directory_bytes(loaded) == before


def test_verify_finds_a_flipped_byte_in_a_snapshot_and_in_the_log(loaded):
    snapshot = snapshot_files(loaded)[0]
    # A byte inside the last vector's floats: the file still decodes.
    flip_byte(snapshot, os.path.getsize(snapshot) - 1 - 4 * DIM + 2)
    verified = run("verify", loaded, check=False)
    assert verified.returncode == 1
    assert ("damage: snapshots/%s: checksum mismatch" % snapshot.name) in verified.stdout
    flip_byte(snapshot, os.path.getsize(snapshot) - 1 - 4 * DIM + 2)
    assert run("verify", loaded).stdout == "sound\n"

    # The log: the header (5 bytes), the checkpoint frame (4 + 8 + 4 + 8 + 4 = 28 bytes), then
    # the first upsert's frames; flip a byte inside the second frame's id.
    log = loaded / "wal" / "current.wal"
    flip_byte(log, 5 + 28 + 4 + 8 + 4 + 8)
    verified = run("verify", loaded, check=False)
    assert verified.returncode == 1
    assert "damage: wal/current.wal at offset 33: checksum mismatch" in verified.stdout

    # A checksum file that cannot be read is damage too, and hides no other finding.
    checksum = str(snapshot) + ".crc32"
    with open(checksum, "w") as f:
        f.write("not a checksum\n")
    verified = run("verify", loaded, check=False)
    assert verified.returncode == 1
    assert ("damage: snapshots/%s.crc32: not a snapshot checksum file" % snapshot.name
            in verified.stdout)
    assert "damage: wal/current.wal at offset 33: checksum mismatch" in verified.stdout
    assert "vectors: 320\n" in run("info", loaded).stdout

    # A snapshot written without a checksum file is checked by its structure alone.
    os.remove(str(snapshot) + ".crc32")
    with open(snapshot, "r+b") as f:
        f.truncate(os.path.getsize(snapshot) - 3)
    verified = run("verify", loaded, check=False).stdout
    assert "snapshots/%s at offset" % snapshot.name in verified
    assert "failed to fill whole buffer" in verified


def test_writing_verbs_wait_for_no_one(tmp_path, loaded, vectors):
    np.save(tmp_path / "few.npy", vectors[:3])
    with vexradb.Client.open(loaded, dimensions=DIM, metric="euclidean"):
        for args in (("import", loaded, tmp_path / "few.npy"), ("checkpoint", loaded)):
            refused = run(*args, check=False)
            assert refused.returncode == 2
            assert "in use by another client" in refused.stderr
        assert run("info", loaded).returncode == 0
    run("checkpoint", loaded)


def test_dump_output_imports_again(tmp_path, loaded, vectors):
    nested = {}
    for _ in range(127):  # with the outermost object, metadata of the greatest depth accepted
        nested = {"n": nested}
    odd = vectors[:4].copy()
    odd[0, 1], odd[1, 2], odd[2, 3] = np.nan, np.inf, -np.inf
    with vexradb.Client.open(loaded, dimensions=DIM, metric="euclidean") as client:
        for i, row in enumerate(odd):
            client.upsert("odd%d" % i, row.tolist(), nested if i == 3 else None)
    dumped = run("dump", loaded).stdout
    (tmp_path / "dumped.jsonl").write_text(dumped)
    rows = {row["id"]: row["vector"] for row in json_lines(dumped)}
    assert [rows["odd0"][1], rows["odd1"][2], rows["odd2"][3]] == ["NaN", "Infinity", "-Infinity"]

    run("import", tmp_path / "again", tmp_path / "dumped.jsonl", "--metric", "euclidean")
    assert run("dump", tmp_path / "again").stdout == dumped


def test_a_failed_import_stores_nothing_or_says_how_much(tmp_path, loaded, vectors):
    with open(tmp_path / "line2501.jsonl", "w") as f:
        for i in range(2600):
            record = {"id": "j%d" % i, "vector": vectors[i % 300].tolist()}
            f.write("{oops\n" if i == 2500 else json.dumps(record) + "\n")
    with open(tmp_path / "row1200.fvecs", "wb") as f:
        for i in range(1300):
            f.write(struct.pack("<i", DIM + 1 if i == 1200 else DIM) + vectors[i % 300].tobytes())
    # A 12-byte .npy whose header claims 4 GiB, imported with 1 GiB of address space.
    (tmp_path / "claims.npy").write_bytes(b"\x93NUMPY\x02\x00" + struct.pack("<I", 2**32 - 1))
    before = directory_bytes(loaded)
    for name, message, popen in (
            ("line2501.jsonl", "line2501.jsonl: line 2501: key must be a string", {}),
            ("row1200.fvecs", "row1200.fvecs: row 1200: its length field says 9 components, "
                              "the first row's 8", {}),
            ("claims.npy", "claims.npy: the header's length is 4294967295 bytes, but only 0",
             {"preexec_fn": limited(resource.RLIMIT_AS, 2**30)})):
        done = run("import", loaded, tmp_path / name, "--metric", "euclidean", check=False,
                   **popen)
        assert done.returncode == 2, (name, done.stderr)
        assert message in done.stderr, (name, done.stderr)
        assert directory_bytes(loaded) == before, name

    # Where the directory fails, the count stored is exact; a new directory that got nothing
    # is not left behind.
    np.save(tmp_path / "rows.npy", vectors)
    cut = tmp_path / "cut"
    done = run("import", cut, tmp_path / "rows.npy", check=False,
               preexec_fn=limited(resource.RLIMIT_FSIZE, 4000))
    assert done.returncode == 2
    stored = len(json_lines(run("dump", cut).stdout))
    assert 0 < stored < 300
    assert ("import stopped after storing %d of the file's 300 vectors: row %d of rows.npy could "
            "not be stored: IO error: File too large" % (stored, stored)) in done.stderr
    done = run("import", tmp_path / "new" / "db", tmp_path / "rows.npy", check=False,
               preexec_fn=limited(resource.RLIMIT_FSIZE, 0))
    assert done.returncode == 2
    assert not (tmp_path / "new").exists()


def test_clear_errors(tmp_path, loaded, vectors):
    foreign = tmp_path / "foreign"
    foreign.mkdir()
    (foreign / "notes.txt").write_text("hello")
    cases = [
        (("info", tmp_path / "missing"), "no such directory"),
        (("dump", foreign), "not a data directory"),
        (("import", foreign, tmp_path / "rows.npy"), "not a data directory"),
        (("search", loaded, "--vector", "[1, 2]"), "Dimension mismatch: expected 8, got 2"),
        (("search", loaded, "--id", "nobody"), "Vector not found: nobody"),
        (("search", loaded, "--id", "r1", "--filter", '{"field":"x","like":1}'), "filter:"),
        (("search", loaded, "--vector", json.dumps([1e39] + [0] * (DIM - 1))),
         "--vector: the component at index 0 (1e39) is beyond the range of a 32-bit float"),
    ]
    for k in (-1, 0, 2**32):
        cases.append((("search", loaded, "--id", "r1", "-k", k),
                      "-k: expected a whole number from 1 to 4294967295, not %s" % k))
    np.save(tmp_path / "wide.npy", np.zeros((2, DIM + 1), dtype=np.float32))
    np.save(tmp_path / "ints.npy", np.zeros((2, DIM), dtype=np.int32))
    (tmp_path / "rows.txt").write_text("1 2 3")
    (tmp_path / "bad.jsonl").write_text('{"id": "a", "vector": [1, 2]}\n{"id": "b"}\n')
    (tmp_path / "huge.jsonl").write_text('{"id": "a", "vector": [1, 2]}\n'
                                         '{"id": "b", "vector": [1, -3.5e38]}\n')
    cases += [
        (("import", loaded, tmp_path / "wide.npy"), "the file's vectors have 9 components"),
        (("import", loaded, tmp_path / "ints.npy"), "float32 or float64"),
        (("import", loaded, tmp_path / "rows.txt"), "unknown kind of file"),
        (("import", tmp_path / "new", tmp_path / "bad.jsonl"), "bad.jsonl: line 2"),
        (("import", tmp_path / "new", tmp_path / "huge.jsonl"),
         "huge.jsonl: line 2: the component at index 1 (-3.5e38) is beyond the range"),
    ]
    for args, message in cases:
        done = run(*args, check=False)
        assert done.returncode == 2, args
        assert message in done.stderr, (args, done.stderr)
    assert not (tmp_path / "new").exists()
