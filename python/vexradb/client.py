"""The Client: one database, in memory or on a data directory."""

import array
import json
import struct
import sys
import threading
from collections import namedtuple

from ._codec import Reader, Writer, row_bytes
from ._ffi import ffi, is_buffer, library

try:
    import numpy as _np
except ImportError:  # the package works without numpy
    _np = None

Record = namedtuple("Record", "id vector metadata")
SearchResult = namedtuple("SearchResult", "id distance metadata")
Stats = namedtuple("Stats", "vector_count dimensions memory_usage_bytes compression_ratio")
# A keyword hit: its BM25 score (larger is better).
TextResult = namedtuple("TextResult", "id score metadata")
# A hybrid hit: its fused score, and its rank (from 1) and distance or keyword score in each list
# that holds it (None where it is not in that list).
HybridResult = namedtuple("HybridResult",
                          "id score vector_rank distance text_rank text_score metadata")

# Entries per batch call of upsert_batch(..., progress=True).
PROGRESS_CHUNK_SIZE = 10_000

_METRICS = {"cosine": 1, "euclidean": 2, "dot": 3, "dot_product": 3}
_QUANTIZATIONS = {"none": 1, None: 1, "sq8": 2, "binary": 3}


def _metadata_text(metadata):
    if metadata is None:
        return None
    if isinstance(metadata, str):
        return metadata  # already JSON text
    return json.dumps(metadata, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def _metadata_value(text):
    return None if text is None else json.loads(text)


def _entry_parts(entry):
    """(id, vector, metadata) from a tuple, a Record or a dict with those keys."""
    if isinstance(entry, dict):
        return entry["id"], entry["vector"], entry.get("metadata")
    if len(entry) == 2:
        return entry[0], entry[1], None
    return entry[0], entry[1], entry[2]


def _batch_columns(entries, vectors, metadata, rows_of):
    """(ids, rows, metadata values) of a batch in either form upsert_batch takes, the vectors
    converted by rows_of(vectors, count)."""
    if vectors is None:
        entries = [_entry_parts(entry) for entry in entries]
        ids = [entry[0] for entry in entries]
        return ids, rows_of([entry[1] for entry in entries], len(ids)), [
            entry[2] for entry in entries]
    ids = list(entries)
    rows = rows_of(vectors, len(ids))
    metadata = [None] * len(ids) if metadata is None else list(metadata)
    if len(metadata) != len(ids):
        raise ValueError("%d metadata values for %d ids" % (len(metadata), len(ids)))
    return ids, rows, metadata


class _NoBar:
    """Stands in for a progress bar where tqdm is not installed."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, n):
        pass


def _progress_bar(total):
    try:
        from tqdm import tqdm  # optional, and only imported when a bar is asked for
    except ImportError:
        return _NoBar()
    return tqdm(total=total, unit="vectors", desc="upsert_batch")


def _choice(table, value, what):
    key = value.lower() if isinstance(value, str) else value
    if key not in table:
        raise ValueError("unknown %s %r (choose from %s)" % (what, value, ", ".join(
            k for k in table if k)))
    return table[key]


def _query_rows(queries):
    """(the queries' little-endian float32 bytes, row count) for the batch search."""
    if _np is not None and isinstance(queries, _np.ndarray):
        if queries.ndim != 2:
            raise ValueError("queries must be a two-dimensional array (got %d dimensions)"
                             % queries.ndim)
        return _np.ascontiguousarray(queries, dtype="<f4").tobytes(), queries.shape[0]
    rows = [list(query) for query in queries]
    if len({len(row) for row in rows}) > 1:
        raise ValueError("the queries differ in length")
    values = [value for row in rows for value in row]
    return struct.pack("<%df" % len(values), *values), len(rows)


def _batch_filter(filter):
    """A batch's filter argument: a kind byte, then the filter in that form."""
    if filter is None:
        return b"\x00"
    if filter.in_contract:
        return b"\x01" + filter.encoded()
    text = filter.json_utf8()
    return b"\x02" + struct.pack(">i", len(text)) + text


def _packed(data, code, count, offset):
    """`count` little-endian numbers of array type `code` from `offset`, as a list."""
    values = array.array(code)
    values.frombytes(data[offset:offset + count * values.itemsize])
    if sys.byteorder != "little":
        values.byteswap()
    return values.tolist(), offset + count * values.itemsize


def _texts(data, ends, offset):
    """The texts whose end offsets are `ends`, laid end to end from `offset`."""
    size = ends[-1] if ends else 0
    blob = data[offset:offset + size]
    text = blob.decode("utf-8")
    # ASCII text (the usual ids) is sliced as decoded text, which is cheaper than decoding each.
    source, convert = (text, str) if len(text) == len(blob) else (blob, bytes.decode)
    starts = [0] + ends[:-1]
    return [convert(source[a:b]) for a, b in zip(starts, ends)], offset + size


def _rows(flat, found, width, pad):
    rows, at = [], 0
    for n in found:
        rows.append(flat[at:at + n] + [pad] * (width - n))
        at += n
    return rows


def _unpack_batch(data, include_metadata):
    """(ids, distances[, metadata]) from the batch search's packed reply."""
    count, width = struct.unpack_from("<II", data, 0)
    found, at = _packed(data, "I", count, 8)
    if _np is not None:
        distances = _np.frombuffer(data, "<f4", count * width, at).astype(_np.float32)
        distances = distances.reshape(count, width)
        at += 4 * count * width
    else:
        flat, at = _packed(data, "f", count * width, at)
        distances = [flat[i * width:(i + 1) * width] for i in range(count)]
    hits = sum(found)
    id_ends, at = _packed(data, "Q", hits, at)
    ids, at = _texts(data, id_ends, at)
    ids = _rows(ids, found, width, None)
    if not include_metadata:
        return ids, distances
    present, at = _packed(data, "B", hits, at)
    metadata_ends, at = _packed(data, "Q", hits, at)
    texts, at = _texts(data, metadata_ends, at)
    values = [json.loads(text) if has else None for has, text in zip(present, texts)]
    return ids, distances, _rows(values, found, width, None)


class Client:
    """A vector database. Use Client.in_memory(...) or Client.open(...); close it when done (or
    use it as a context manager). Safe to share between threads."""

    def __init__(self, handle):
        self._lib = library()
        self._clone = self._lib.function("clone_vexraclient")
        self._handle = handle
        self._lock = threading.Lock()
        self._is_closed = False

    # ---- construction ---------------------------------------------------------------------

    @classmethod
    def in_memory(cls, dimensions):
        """An in-memory database of `dimensions`-long vectors under the cosine distance."""
        return cls(library().call("constructor_vexraclient_new_in_memory", dimensions))

    @classmethod
    def open(cls, path, *, dimensions, metric="cosine", quantization="none", persistent=True,
             rescore=None, oversampling=None, label=None, text_fields=None, text_language=None):
        """A database configured by the arguments: on the data directory `path` when
        `persistent`, else in memory.

        `quantization` "sq8" (searched through a graph) or "binary" (scanned) keeps codes in
        memory instead of the full-precision vectors; a persistent quantized database keeps those
        in its directory, which reads the same whichever way it is opened. With `rescore`, a
        quantized database re-ranks `oversampling` x k candidates by exact distances (None: the
        default of its codes). By default it rescores when persistent; in memory, rescoring keeps
        the full-precision vectors in memory too, so it is only done when asked for.

        `text_fields` (metadata paths) builds a keyword index over those string fields (see
        set_text_index), stemmed for `text_language` when given."""
        codes = _choice(_QUANTIZATIONS, quantization, "quantization")
        config = (
            Writer()
            .u32(dimensions)
            .i32(_choice(_METRICS, metric, "metric"))
            .i32(codes)
            .boolean(persistent)
            .optional_text(label)
            .bytes()
        )
        lib = library()
        buffers = lib.to_buffers(str(path).encode("utf-8"), config)
        if codes == _QUANTIZATIONS["none"]:
            client = cls(lib.call("constructor_vexraclient_open", *buffers))
        else:
            if rescore is None:
                rescore = persistent
            if oversampling is not None and not 1 <= oversampling < 2**32:
                raise ValueError("oversampling must be a whole number from 1, or None")
            client = cls(lib.call("vexradb_ext_open_client", *buffers, 1 if rescore else 0,
                                  oversampling or 0))
        if text_fields is not None:
            try:
                client.set_text_index(text_fields, language=text_language)
            except BaseException:
                client.close()
                raise
        return client

    # ---- lifetime -------------------------------------------------------------------------

    def close(self):
        """Releases the database. Idempotent. Every change that returned is already in a
        persistent database's log and survives a crash of the process; only sync() makes it
        survive a power loss too, and closing does not sync."""
        with self._lock:
            if self._is_closed:
                return
            self._is_closed = True
        self._lib.call("free_vexraclient", self._handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_is_closed", True) is False:
            try:
                self.close()
            except Exception:
                pass

    def _call(self, name, *args):
        # Every method consumes one reference: pass a fresh clone and keep our own. The clone is
        # taken under the lock, so a concurrent close() cannot free the client in between.
        with self._lock:
            if self._is_closed:
                for arg in args:
                    if is_buffer(arg):
                        self._lib.take_bytes(arg)  # the call will not take them
                raise ValueError("the client is closed")
            clone = self._clone(self._handle, ffi.NULL)
        return self._lib.call(name, clone, *args)

    def _text(self, value):
        return self._lib.to_buffer(value.encode("utf-8"))

    def _encoded(self, data):
        return self._lib.to_buffer(data)

    def _buffers(self, *payloads):
        """Buffers for a call's arguments, each encoded before any is handed to the library."""
        return self._lib.to_buffers(*payloads)

    # ---- writes ---------------------------------------------------------------------------

    def insert(self, id, vector, metadata=None):
        """Stores a new vector; DuplicateVectorIdError if `id` is already live."""
        self._store("method_vexraclient_insert", id, vector, metadata)

    def upsert(self, id, vector, metadata=None):
        """Stores a vector, replacing the live one of the same id."""
        self._store("method_vexraclient_upsert", id, vector, metadata)

    def _store(self, name, id, vector, metadata):
        self._call(name, *self._buffers(
            id.encode("utf-8"),
            Writer().floats(vector).bytes(),
            Writer().optional_text(_metadata_text(metadata)).bytes(),
        ))

    def upsert_batch(self, entries, vectors=None, metadata=None, *, progress=False):
        """Upserts many vectors at once, in one call of the library (see `progress` below).

        Either `entries` alone: (id, vector[, metadata]) tuples, Records or dicts; or `entries` a
        list of ids with `vectors` their vectors, an (n, d) floating-point numpy array (or a
        sequence of vectors), and optionally `metadata`, a list of n metadata values or None.

        With `progress=True` the load is sent in order as several batch calls of
        PROGRESS_CHUNK_SIZE entries each, and a progress bar (tqdm's, when it is installed;
        without it the same calls are made silently) advances after each. It is then not one
        batch: an in-memory database builds its graph call by call, so the graph may differ from
        the one a single call would build; and a failure stops at the chunk that failed, keeping
        the chunks stored before it."""
        ids, rows, metadata = _batch_columns(entries, vectors, metadata, row_bytes)
        if not progress:
            self._upsert_rows(ids, rows, metadata)
            return
        size = PROGRESS_CHUNK_SIZE
        # An empty load still makes its one (empty) call, as without progress.
        starts = range(0, len(ids), size) or [0]
        with _progress_bar(len(ids)) as bar:
            for start in starts:
                end = min(start + size, len(ids))
                self._upsert_rows(ids[start:end], rows[start:end], metadata[start:end])
                bar.update(end - start)

    def _upsert_rows(self, ids, rows, metadata):
        """One batch call of the library: ids with their encoded rows and metadata values."""
        writer = Writer().i32(len(ids))
        for id, row, meta in zip(ids, rows, metadata):
            writer.text(id).float_bytes(row).optional_text(_metadata_text(meta))
        self._call("method_vexraclient_upsert_batch", self._encoded(writer.bytes()))

    def delete(self, id):
        """Removes the live vector of `id`; False when there was none."""
        return self._call("method_vexraclient_delete", self._text(id)) == 1

    def sync(self):
        """Forces the log of a persistent database to stable storage."""
        self._call("method_vexraclient_sync")

    def checkpoint(self):
        """Writes a snapshot of a persistent database and starts a fresh log."""
        self._call("method_vexraclient_checkpoint")

    # ---- reads ----------------------------------------------------------------------------

    def get(self, id):
        """The live Record of `id`, or None."""
        reader = Reader(self._lib.take_bytes(self._call("method_vexraclient_get", self._text(id))))
        if reader.u8() == 0:
            return None
        return Record(reader.text(), reader.floats(), _metadata_value(reader.optional_text()))

    def list(self, offset=0, limit=2**32 - 1):
        """Live ids in order of their latest insertion."""
        if not (0 <= offset < 2**32 and 0 <= limit < 2**32):
            raise ValueError("offset and limit must be between 0 and 2**32 - 1")
        reader = Reader(self._lib.take_bytes(self._call("method_vexraclient_list", offset, limit)))
        return [reader.text() for _ in range(reader.i32())]

    def len(self):
        return self._call("method_vexraclient_len")

    def __len__(self):
        return self.len()

    def is_empty(self):
        return self._call("method_vexraclient_is_empty") == 1

    def search(self, query, k=10, filter=None, text=None, fusion=None):
        """The k nearest live vectors (smaller distance is closer), optionally only those whose
        metadata passes `filter` (see vexradb.filters).

        With `text`, a hybrid search: the vector list and the keyword list (text_search) fused
        (see hybrid_search); returns HybridResult hits."""
        if not 0 <= k < 2**32:
            raise ValueError("k must be between 0 and 2**32 - 1")
        if text is not None:
            return self.hybrid_search(query, text, k, filter=filter, fusion=fusion)
        query_bytes = Writer().floats(query).bytes()
        if filter is None:
            result = self._call("method_vexraclient_search", self._encoded(query_bytes), k)
        elif filter.in_contract:
            query_buffer, filter_buffer = self._buffers(query_bytes, filter.encoded())
            result = self._call("method_vexraclient_search_with_filter", query_buffer, k,
                                filter_buffer)
        else:
            query_buffer, filter_buffer = self._buffers(query_bytes, filter.json_utf8())
            result = self._call("vexradb_ext_search_with_filter_json", query_buffer, k,
                                filter_buffer)
        reader = Reader(self._lib.take_bytes(result))
        return [
            SearchResult(reader.text(), reader.f32(), _metadata_value(reader.optional_text()))
            for _ in range(reader.i32())
        ]

    def search_batch(self, queries, k=10, filter=None, threads=None, include_metadata=False):
        """Searches for every query (the rows of an (m, d) numpy array, or a sequence of
        vectors) in one call of the library, which spreads them over `threads` threads (default:
        one per processor) with the interpreter free meanwhile; each finds what search() finds.

        Returns (ids, distances): ids a list of m lists of w ids, and distances an (m, w) float32
        numpy array (a list of lists without numpy), where w is k or, when smaller, the number of
        vectors a search can return (len(self)). Where a query found fewer than w vectors, the
        missing places hold None and an infinite distance. With `include_metadata`, a third list
        of m lists holds each hit's metadata (None past the hits)."""
        if not 0 <= k < 2**32:
            raise ValueError("k must be between 0 and 2**32 - 1")
        if threads is not None and not 1 <= threads < 2**32:
            raise ValueError("threads must be at least 1")
        rows, count = _query_rows(queries)
        rows_buffer, filter_buffer = self._buffers(rows, _batch_filter(filter))
        reply = self._lib.take_bytes(self._call(
            "vexradb_ext_search_batch", rows_buffer, count, k, filter_buffer, threads or 0,
            1 if include_metadata else 0))
        return _unpack_batch(reply, include_metadata)

    def stats(self):
        reader = Reader(self._lib.take_bytes(self._call("method_vexraclient_stats")))
        return Stats(reader.u64(), reader.u32(), reader.u64(), reader.f32())

    # ---- keyword search -------------------------------------------------------------------

    def set_text_index(self, fields, language=None, k1=1.2, b=0.75):
        """Builds a BM25 keyword index over the string `fields` (metadata paths, "a.b" for
        nested members) of every stored vector and keeps it up to date from then on. It is held
        in memory only: a persistent database reopened needs it again (Client.open's
        text_fields). `language` names a Snowball stemmer ("english", ...), None for none."""
        if isinstance(fields, str):
            fields = [fields]
        options = json.dumps({"fields": list(fields), "language": language, "k1": k1, "b": b})
        self._call("vexradb_ext_set_text_index", self._text(options))

    def text_search(self, text, k=10, filter=None):
        """The k live vectors whose text fields score best for `text` by BM25 (larger is
        better), optionally only those whose metadata passes `filter`; TextResult hits."""
        if not 0 <= k < 2**32:
            raise ValueError("k must be between 0 and 2**32 - 1")
        text_buffer, filter_buffer = self._buffers(
            text.encode("utf-8"), _optional_json_filter(filter))
        reader = Reader(self._lib.take_bytes(
            self._call("vexradb_ext_text_search", text_buffer, k, filter_buffer)))
        return [TextResult(reader.text(), reader.f64(), _metadata_value(reader.optional_text()))
                for _ in range(reader.i32())]

    def hybrid_search(self, query, text, k=10, filter=None, fusion=None):
        """The k best of the vector search of `query` and the keyword search of `text` fused by
        weighted reciprocal rank; `fusion` may set "depth" (each list's length), "constant" and
        "text_weight" (the keyword list's share, 0 to 1). HybridResult hits."""
        if not 0 <= k < 2**32:
            raise ValueError("k must be between 0 and 2**32 - 1")
        buffers = self._buffers(
            Writer().floats(query).bytes(), text.encode("utf-8"),
            _optional_json_filter(filter),
            Writer().optional_text(None if fusion is None else json.dumps(fusion)).bytes())
        reader = Reader(self._lib.take_bytes(
            self._call("vexradb_ext_hybrid_search", buffers[0], buffers[1], k, *buffers[2:])))
        return [_hybrid_result(reader) for _ in range(reader.i32())]


# The library's fusion defaults (engine/hybrid_search.hpp), for clients that fuse lists they
# merged themselves (the sharded client).
DEFAULT_FUSION = {"depth": 50, "constant": 10.0, "text_weight": 0.95}


def fuse(nearest, keyword, k, fusion=None):
    """The library's hybrid fusion of a vector list (SearchResult hits, nearest first) and a
    keyword list (TextResult hits, best first): the k best HybridResult hits, summed and ordered
    exactly as the library sums and orders them."""
    options = dict(DEFAULT_FUSION, **(fusion or {}))
    constant, text_weight = float(options["constant"]), float(options["text_weight"])
    found = {}
    for rank, hit in enumerate(nearest, 1):
        found[hit.id] = [(1.0 - text_weight) / (constant + rank), rank, hit.distance, None, None,
                         hit.metadata]
    for rank, hit in enumerate(keyword, 1):
        entry = found.setdefault(hit.id, [0.0, None, None, None, None, hit.metadata])
        entry[0] += text_weight / (constant + rank)
        entry[3], entry[4] = rank, hit.score
    unranked = 2**32 - 1

    def order(item):
        id, (score, vector_rank, _, text_rank, _, _) = item
        return (-score, unranked if text_rank is None else text_rank,
                unranked if vector_rank is None else vector_rank, id.encode("utf-8"))
    best = sorted(found.items(), key=order)[:k]
    return [HybridResult(id, *entry) for id, entry in best]


def _optional_json_filter(filter):
    """A keyword or hybrid search's filter argument: an optional string of its JSON text."""
    if filter is None:
        return b"\x00"
    text = filter.json_utf8()
    return b"\x01" + struct.pack(">i", len(text)) + text


def _hybrid_result(reader):
    id, score = reader.text(), reader.f64()
    vector_rank, distance = (reader.u32(), reader.f32()) if reader.u8() == 1 else (None, None)
    text_rank, text_score = (reader.u32(), reader.f64()) if reader.u8() == 1 else (None, None)
    return HybridResult(id, score, vector_rank, distance, text_rank, text_score,
                        _metadata_value(reader.optional_text()))


def version():
    lib = library()
    return lib.take_bytes(lib.call("func_version")).decode("utf-8")


def system_info():
    lib = library()
    return lib.take_bytes(lib.call("func_system_info")).decode("utf-8")
