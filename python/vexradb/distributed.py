"""A database sharded over the workers of a Dask cluster.

    from dask.distributed import Client as DaskClient, LocalCluster
    from vexradb.distributed import ShardedClient

    with LocalCluster(n_workers=2) as cluster, \
            DaskClient(cluster, direct_to_workers=True) as dask:
        with ShardedClient.open("/data/vectors", shards=2, dimensions=128,
                                metric="euclidean", client=dask) as db:
            db.upsert_batch(ids, vectors)
            ids, distances = db.search_batch(queries, k=10)

Each shard is a Dask actor that owns one vexradb.Client, on its own data directory under `path`
(every worker must reach `path` under the same name: a local disk for a cluster on one machine,
a shared file system otherwise) or in memory. An id belongs to the shard that a stable hash of
its UTF-8 bytes names (BLAKE2b, the same on every machine and in every run), so each id lives in
exactly one shard. Writes and gets go to the id's shard; searches go to every shard at once and
their top-k lists are merged by distance, ties broken by id.

A shard whose worker the scheduler reports lost is opened again from its data directory on a
live worker. What it comes back with depends on what was lost. A write returns once it is in
the shard's log, so when only the worker's process died (killed, crashed, out of memory) every
write that had returned is there. The log reaches stable storage only at sync() (which syncs
every shard) or a checkpoint, though: when the machine itself goes down (power, a crash of its
operating system), its shards come back with the writes up to their last sync() or checkpoint,
and later ones may be missing; and a shard whose directory was on that machine's own disk
comes back only with the machine.

A call that fails in transit while the scheduler still counts the worker as up (a dropped
connection, say) leaves the shard where it is: reads and upserts are repeated a few times, and
a call that still fails raises ShardUnreachableError. A call that cannot reach a shard raises
ShardUnavailableError (of which that is a kind) naming it; searches skip such shards only when
asked with partial=True. An in-memory shard cannot come back: its vectors went with its worker,
and it stays unavailable.

The package (and its library) must be importable on every worker.
"""

import hashlib
import heapq
import json
import os
import threading
import time
from itertools import chain

import numpy as np

from .client import (DEFAULT_FUSION, Client, Stats, _batch_columns, _choice, _METRICS,
                     _QUANTIZATIONS, fuse)
from .errors import IndexEmptyError, InvalidConfigurationError

MANIFEST_NAME = "vexradb-shards.json"
_MANIFEST_FORMAT = 1
# How ids map to shards, recorded in the manifest so that a future change of it is refused
# rather than misrouting every id of an existing database.
_ROUTING = "blake2b-64-mod"
_METRIC_NAMES = {number: name for name, number in _METRICS.items() if name != "dot_product"}

# Seconds a lost shard may take to open again on another worker before the call gives up.
DEFAULT_REOPEN_TIMEOUT = 120.0
# Seconds to wait before each repeat of a repeatable call that failed in transit while its
# worker was up; they also give the scheduler time to notice a worker that has just died.
_TRANSIT_RETRY_PAUSES = (0.05, 0.25, 1.0)


class ShardUnavailableError(RuntimeError):
    """A shard could not answer: its worker was lost, and it is not (or not yet) open again.
    `shard` is its number."""

    def __init__(self, shard, message):
        super().__init__("shard %d %s" % (shard, message))
        self.shard = shard


class ShardUnreachableError(ShardUnavailableError):
    """A call could not reach a shard, or its answer did not come back, while the scheduler
    still counts the shard's worker as up (a dropped connection, say): the shard stays open
    where it is, and a later call may well reach it."""


def shard_of(id, shards):
    """The shard, among `shards`, that owns `id`."""
    digest = hashlib.blake2b(id.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "big") % shards


class _Shard:
    """The actor on a worker: one Client. Its methods return (True, result) or (False, the
    exception raised), so that the caller tells the database's own errors (any exception type,
    OSError included) from the loss of the worker (an OSError raised by the call itself)."""

    def __init__(self, path, options):
        self._db = Client.open(path, **options)
        # A quantized database's len() counts every version it ever stored, replaced and
        # removed ones included; only its list holds the live ids alone.
        self._len_is_live = _choice(_QUANTIZATIONS, options["quantization"], "quantization") == 1

    def live_count(self):
        """The number of live vectors (counted here, so that only the number travels)."""
        return _as_outcome(lambda: self._db.len() if self._len_is_live else len(self._db.list()))


def _as_outcome(call, *args, **kwargs):
    try:
        return True, call(*args, **kwargs)
    except Exception as error:  # handed back as a value: see _Shard
        return False, error


def _forwarded(name):
    def call(self, *args, **kwargs):
        return _as_outcome(getattr(self._db, name), *args, **kwargs)

    call.__name__ = name
    return call


for _name in ("insert", "upsert", "upsert_batch", "delete", "get", "list", "len", "is_empty",
              "search", "search_batch", "stats", "sync", "checkpoint", "close", "text_search"):
    setattr(_Shard, _name, _forwarded(_name))


# ---- the manifest ---------------------------------------------------------------------------

def _settle_manifest(path, shards, dimensions, metric):
    """The settings of the sharded database at `path`: read from its manifest, which must agree
    with every argument given (None: any), or written there when `path` is new or an empty
    directory (the metric then defaults to cosine)."""
    manifest_path = os.path.join(path, MANIFEST_NAME)
    if os.path.exists(manifest_path):
        with open(manifest_path, encoding="utf-8") as f:
            try:
                recorded = json.load(f)
            except ValueError as error:
                raise InvalidConfigurationError("%s is not a readable manifest: %s"
                                                % (manifest_path, error)) from None
        _check_manifest(manifest_path, recorded, shards=shards, dimensions=dimensions,
                        metric=metric)
        return recorded
    if os.path.isdir(path) and os.listdir(path):
        raise InvalidConfigurationError("%s is not a sharded database (it has no %s) and is not "
                                        "empty; refusing to create one in it"
                                        % (path, MANIFEST_NAME))
    if shards is None or dimensions is None:
        raise InvalidConfigurationError("%s holds no sharded database yet: creating one needs "
                                        "shards and dimensions" % path)
    manifest = {"format": _MANIFEST_FORMAT, "shards": shards, "dimensions": dimensions,
                "metric": metric or "cosine", "routing": _ROUTING}
    os.makedirs(path, exist_ok=True)
    _write_durably(manifest_path, json.dumps(manifest, indent=2) + "\n")
    return manifest


def _check_manifest(manifest_path, recorded, **given):
    if not isinstance(recorded, dict) or recorded.get("format") != _MANIFEST_FORMAT \
            or recorded.get("routing") != _ROUTING:
        raise InvalidConfigurationError(
            "%s: not a manifest of format %d with routing %r, which this package reads"
            % (manifest_path, _MANIFEST_FORMAT, _ROUTING))
    for key in ("shards", "dimensions"):
        value = recorded.get(key)
        if not isinstance(value, int) or isinstance(value, bool) or value < 1:
            raise InvalidConfigurationError("%s: %s must be a positive whole number, not %r"
                                            % (manifest_path, key, value))
    if recorded.get("metric") not in _METRIC_NAMES.values():
        raise InvalidConfigurationError("%s: unknown metric %r"
                                        % (manifest_path, recorded.get("metric")))
    for key, value in given.items():
        if value is not None and recorded.get(key) != value:
            raise InvalidConfigurationError(
                "%s: the sharded database has %s %r, not %r"
                % (manifest_path, key, recorded.get(key), value))


def _write_durably(path, text):
    partial = path + ".tmp"
    with open(partial, "w", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(partial, path)
    directory = os.open(os.path.dirname(path) or ".", os.O_RDONLY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


# ---- merging --------------------------------------------------------------------------------

def _merge_hits(lists, k):
    """The k nearest of several shards' hits: by distance, ties by id (ids are unique)."""
    return heapq.nsmallest(k, chain.from_iterable(lists), key=lambda hit: (hit.distance, hit.id))


def _merge_text_hits(lists, k):
    """The k best of several shards' keyword hits: by score, ties by id. Each shard scores with
    its own BM25 statistics (document count, frequencies, lengths)."""
    return heapq.nsmallest(k, chain.from_iterable(lists), key=lambda hit: (-hit.score, hit.id))


def _merge_batches(answers, count, k, include_metadata):
    """(ids, distances[, metadata]) of `count` queries from the shards' search_batch answers,
    padded as Client.search_batch pads them: to k, or to the number of vectors the answering
    shards hold when smaller (each shard's rows are as wide as it can fill)."""
    width = min(k, sum(np.shape(answer[1])[1] for answer in answers))
    ids, metadata = [], []
    distances = np.full((count, width), np.inf, dtype=np.float32)
    for row in range(count):
        # (distance, id, metadata): ids are unique, so the metadata never decides the order.
        candidates = ((float(answer[1][row][place]), found,
                       answer[2][row][place] if include_metadata else None)
                      for answer in answers
                      for place, found in enumerate(answer[0][row]) if found is not None)
        nearest = heapq.nsmallest(k, candidates, key=lambda hit: hit[:2])
        padding = [None] * (width - len(nearest))
        ids.append([found for _, found, _ in nearest] + padding)
        metadata.append([value for _, _, value in nearest] + padding)
        distances[row, :len(nearest)] = [distance for distance, _, _ in nearest]
    return (ids, distances, metadata) if include_metadata else (ids, distances)


def _unless_empty(outcomes):
    """The shards' answers to a search, without those of shards that were never written
    (IndexEmptyError); that error only when it is every shard's."""
    answers = [value for ok, value in outcomes if ok]
    errors = [value for ok, value in outcomes if not ok]
    real = [error for error in errors if not isinstance(error, IndexEmptyError)]
    if real:
        raise real[0]
    if errors and not answers:
        raise errors[0]
    return answers


def _values(outcomes):
    for ok, value in outcomes:
        if not ok:
            raise value
    return [value for _, value in outcomes]


# ---- the client -----------------------------------------------------------------------------

class ShardedClient:
    """A database over N shards, each an actor on a worker of a Dask cluster; the methods of
    vexradb.Client. Create it with ShardedClient.open(...) or ShardedClient.in_memory(...) and
    close it when done (or use it as a context manager). Safe to share between threads.

    Every call goes to the shards' actors, which Dask reaches through the scheduler unless the
    dask.distributed.Client was made with direct_to_workers=True: that halves a call's latency."""

    def __init__(self, dask, shard_paths, options, reopen_timeout):
        self._dask = dask
        self._paths = shard_paths  # None for in-memory shards
        self._options = options
        self._reopen_timeout = reopen_timeout
        self._dimensions = options["dimensions"]
        self._lock = threading.Lock()  # guards the fields below
        self._futures = [None] * len(shard_paths)  # keep the actors alive on their workers
        self._actors = [None] * len(shard_paths)
        self._lost = {}  # shard -> why it is unavailable (an in-memory shard lost for good)
        self._starting = {}  # shard -> the future of the actor opening it again
        self._is_closed = False
        workers = sorted(dask.scheduler_info()["workers"]) or [None]
        try:
            for shard in range(len(shard_paths)):
                # Shard after shard on the workers in turn, so that their searches run side by side.
                self._futures[shard] = self._start(shard, workers[shard % len(workers)])
            for shard, future in enumerate(self._futures):
                self._actors[shard] = future.result()
        except BaseException:
            self._release()
            raise

    # ---- construction ---------------------------------------------------------------------

    @classmethod
    def open(cls, path, *, client, shards=None, dimensions=None, metric=None,
             quantization="none", persistent=True, reopen_timeout=DEFAULT_REOPEN_TIMEOUT,
             text_fields=None, text_language=None):
        """A sharded database of `shards` shards on the Dask cluster of `client` (a
        dask.distributed.Client): durable under the directory `path` when `persistent` (each
        shard in path/shard-NNN, beside a manifest recording the shard count, dimensions and
        metric), else in memory. Opening an existing directory may leave out shards, dimensions
        and metric; those given must match its manifest. `text_fields` and `text_language`
        give every shard a keyword index, as Client.open does (kept through reopening)."""
        text = {"text_fields": text_fields, "text_language": text_language}
        if shards is not None and shards < 1:
            raise ValueError("shards must be at least 1")
        if not persistent:
            if shards is None or dimensions is None:
                raise ValueError("an in-memory sharded database needs shards and dimensions")
            options = cls._options(dimensions, metric or "cosine", quantization, False, text)
            return cls(client, [None] * shards, options, reopen_timeout)
        path = os.path.abspath(os.fspath(path))
        metric = None if metric is None else _METRIC_NAMES[_choice(_METRICS, metric, "metric")]
        manifest = _settle_manifest(path, shards, dimensions, metric)
        options = cls._options(manifest["dimensions"], manifest["metric"], quantization, True,
                               text)
        paths = [os.path.join(path, "shard-%03d" % shard) for shard in range(manifest["shards"])]
        return cls(client, paths, options, reopen_timeout)

    @classmethod
    def in_memory(cls, dimensions, *, shards, client, text_fields=None, text_language=None):
        """An in-memory sharded database of `dimensions`-long vectors under the cosine
        distance, like Client.in_memory."""
        return cls.open("", client=client, shards=shards, dimensions=dimensions,
                        persistent=False, text_fields=text_fields, text_language=text_language)

    @staticmethod
    def _options(dimensions, metric, quantization, persistent, text):
        return {"dimensions": dimensions, "metric": metric, "quantization": quantization,
                "persistent": persistent, **text}

    def _start(self, shard, worker):
        """Opens shard `shard` in an actor, preferably on `worker`; the actor's future."""
        return self._dask.submit(_Shard, self._paths[shard] or "", self._options, actor=True,
                                 pure=False, workers=[worker] if worker else None,
                                 allow_other_workers=True)

    # ---- lifetime -------------------------------------------------------------------------

    def close(self):
        """Closes every shard's database. Idempotent."""
        with self._lock:
            if self._is_closed:
                return
            self._is_closed = True
            starting, self._starting = list(self._starting.values()), {}
        try:
            for future in starting:
                future.cancel()  # its waiter sees the client closed
            for actor in self._actors:
                if actor is None:
                    continue
                try:
                    actor.close().result()
                except (OSError, ValueError):
                    pass  # a lost worker took its shard's database with it: nothing to close
        finally:
            self._release()

    def _release(self):
        for future in self._futures:
            if future is not None:
                future.release()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def shards(self):
        return len(self._paths)

    def shard_of(self, id):
        """The shard that owns `id`."""
        return shard_of(id, len(self._paths))

    def placement(self):
        """The address of the worker holding each shard's actor (None for an in-memory shard that
        was lost). A durable shard whose worker was lost keeps the old address until it is open
        again."""
        with self._lock:
            return [None if actor is None else actor._address for actor in self._actors]

    # ---- calling the shards ---------------------------------------------------------------

    def _run(self, calls, *, repeatable, partial=False):
        """Sends each (shard, method, args) of `calls` at once and returns their outcomes, each
        (True, result) or (False, the error the shard's database raised), in the order of the
        calls. A shard whose worker the scheduler confirms lost is opened again on another
        worker, and the call repeated there when `repeatable` (reads, upserts: repeating gives
        the same end state); a repeatable call that failed in transit is repeated on the same
        shard a few times. A shard that stays unavailable raises ShardUnavailableError (or
        ShardUnreachableError), after every call has finished; with `partial` its outcome is
        left out instead."""
        sent = [(shard, self._send(shard, method, args)) for shard, method, args in calls]
        outcomes, unavailable = [], None
        for (shard, (actor, pending)), (_, method, args) in zip(sent, calls):
            try:
                outcomes.append(self._outcome(shard, actor, pending, method, args, repeatable))
            except ShardUnavailableError as error:
                if not partial:
                    unavailable = unavailable or error
        if unavailable is not None:
            raise unavailable
        return outcomes

    def _send(self, shard, method, args):
        """(the actor, the pending call: an ActorFuture), or (None, the ShardUnavailableError)
        when the shard cannot be reached, which _outcome raises once _run has sent the others."""
        try:
            actor = self._live_actor(shard)
            try:
                return actor, getattr(actor, method)(*args)
            except ValueError as error:
                # The scheduler already knows the actor's worker is lost, so nothing was sent:
                # any call may go to the shard opened again.
                self._reopen(shard, actor, error)
                actor = self._live_actor(shard)
                return actor, getattr(actor, method)(*args)
        except ShardUnavailableError as error:
            return None, error

    def _outcome(self, shard, actor, pending, method, args, repeatable):
        """The outcome of a call _send made; see _run. An OSError from the call means it did not
        reach the shard's database or its answer did not come back (see _Shard); only the
        scheduler can tell a lost worker from a failure in transit."""
        attempts = len(_TRANSIT_RETRY_PAUSES) + 1 if repeatable else 1
        for attempt in range(attempts):
            if attempt:
                actor, pending = self._send(shard, method, args)
            if actor is None:
                raise pending
            try:
                return pending.result()
            except OSError as error:
                failure = error
            lost = self._worker_is_lost(shard, actor)
            if lost:
                self._reopen(shard, actor, failure)
            elif attempt + 1 < attempts:
                time.sleep(_TRANSIT_RETRY_PAUSES[attempt])
        effect = "" if repeatable else "; the call may or may not have taken effect"
        if lost:
            raise ShardUnavailableError(
                shard, "lost its worker during %s (%s) and is open again%s"
                % (method, failure, effect)) from failure
        raise ShardUnreachableError(
            shard, "could not be reached during %s in %d attempts (%s), though its worker is up%s"
            % (method, attempts, failure, effect)) from failure

    def _worker_is_lost(self, shard, actor):
        """Whether shard `shard`'s `actor` has gone: replaced already, or its worker confirmed
        lost by the scheduler (the actor's future no longer finished, or its worker no longer
        among the scheduler's). Otherwise a failed call failed in transit, and the actor, still
        holding the shard's database (and a durable one's directory lock), must stay."""
        with self._lock:
            if self._actors[shard] is not actor:
                return True
            future = self._futures[shard]
        if future.status != "finished":
            return True
        try:
            return actor._address not in self._dask.nthreads()
        except OSError:
            return False  # nor can the scheduler be asked: nothing is confirmed

    def _check_open(self):
        """Raises ValueError once the client is closed (lock held)."""
        if self._is_closed:
            raise ValueError("the client is closed")

    def _live_actor(self, shard):
        with self._lock:
            self._check_open()
            if self._actors[shard] is None:
                raise ShardUnavailableError(shard, self._lost[shard])
            return self._actors[shard]

    def _reopen(self, shard, failed, cause):
        """Opens shard `shard` again on a live worker in place of its actor `failed`, whose
        worker is lost (unless another thread did so already, or is doing so: then waits for
        that). Raises ShardUnavailableError when it cannot, leaving `failed` in place for a later
        call to try again. The new actor is started under the lock but awaited outside it, so
        that calls to other shards and close() do not wait for it."""
        starting = self._start_again(shard, failed, cause)
        if starting is None:
            return
        try:
            actor = starting.result(timeout=self._reopen_timeout)
        except Exception as error:
            self._give_up_start(shard, starting)
            raise ShardUnavailableError(
                shard, "(%s) lost its worker and could not be opened again: %s"
                % (self._paths[shard], error)) from error
        self._install(shard, starting, actor)

    def _start_again(self, shard, failed, cause):
        """The future of the actor opening shard `shard` again in place of `failed`, started now
        unless already starting; None when `failed` was replaced already."""
        with self._lock:
            self._check_open()
            if self._actors[shard] is not failed:
                return None
            if self._paths[shard] is None:
                self._actors[shard] = None
                self._lost[shard] = ("was in memory on a worker that was lost, and its vectors "
                                     "with it")
                raise ShardUnavailableError(shard, self._lost[shard]) from cause
            if shard not in self._starting:
                self._starting[shard] = self._start(shard, self._quietest_worker())
            return self._starting[shard]

    def _give_up_start(self, shard, starting):
        """Forgets a start that failed or timed out, and stops it in case it is still to come,
        so that it cannot hold the shard's directory."""
        with self._lock:
            self._check_open()  # else close() cancelled the start
            if self._starting.get(shard) is not starting:
                return  # another thread waiting for the same start gave it up already
            del self._starting[shard]
        starting.cancel()

    def _install(self, shard, starting, actor):
        """Makes the actor that `starting` opened shard `shard`'s, in place of the lost one."""
        with self._lock:
            self._check_open()  # else close() cancelled the start
            if self._starting.get(shard) is not starting:
                return  # another thread waiting for the same start installed it
            del self._starting[shard]
            lost = self._futures[shard]
            self._futures[shard], self._actors[shard] = starting, actor
        lost.release()

    def _quietest_worker(self):
        """The live worker holding the fewest of this database's shards (lock held)."""
        workers = self._dask.scheduler_info()["workers"]
        held = [actor._address for actor in self._actors if actor is not None]
        return min(sorted(workers), key=held.count, default=None)

    def _owner_call(self, id, method, args, repeatable):
        shard = self.shard_of(id)
        return _values(self._run([(shard, method, args)], repeatable=repeatable))[0]

    def _everywhere(self, method, args=(), *, repeatable=True, partial=False):
        return self._run([(shard, method, args) for shard in range(self.shards)],
                         repeatable=repeatable, partial=partial)

    # ---- writes ---------------------------------------------------------------------------

    def insert(self, id, vector, metadata=None):
        """Stores a new vector in its shard; DuplicateVectorIdError if `id` is already live."""
        self._owner_call(id, "insert", (id, vector, metadata), repeatable=False)

    def upsert(self, id, vector, metadata=None):
        self._owner_call(id, "upsert", (id, vector, metadata), repeatable=True)

    def upsert_batch(self, entries, vectors=None, metadata=None):
        """Upserts many vectors, in the forms Client.upsert_batch takes: each shard receives its
        own part in one batch call, and the shards store their parts at the same time. Vector
        lengths are checked before anything is sent; a shard failing otherwise leaves the other
        shards' parts stored."""
        ids, vectors, metadata = _batch_columns(entries, vectors, metadata, self._checked_rows)
        parts = [[] for _ in range(self.shards)]
        for row, id in enumerate(ids):
            parts[self.shard_of(id)].append(row)
        calls = [(shard, "upsert_batch",
                  ([ids[row] for row in rows], vectors[rows], [metadata[row] for row in rows]))
                 for shard, rows in enumerate(parts) if rows]
        _values(self._run(calls, repeatable=True))

    def _checked_rows(self, vectors, count):
        if isinstance(vectors, np.ndarray) and vectors.dtype.kind != "f":
            raise TypeError("vectors must be floating-point (got dtype %s)" % vectors.dtype)
        try:
            rows = np.asarray(vectors, dtype=np.float32)
        except ValueError:
            raise ValueError("every vector must have %d dimensions" % self._dimensions) from None
        if count == 0:
            return rows.reshape(0, self._dimensions)
        if rows.ndim != 2 or rows.shape != (count, self._dimensions):
            raise ValueError("expected %d vectors of %d dimensions (got shape %s)"
                             % (count, self._dimensions, rows.shape))
        return rows

    def delete(self, id):
        """Removes the live vector of `id` from its shard; False when there was none."""
        return self._owner_call(id, "delete", (id,), repeatable=False)

    def sync(self):
        _values(self._everywhere("sync"))

    def checkpoint(self):
        _values(self._everywhere("checkpoint"))

    # ---- reads ----------------------------------------------------------------------------

    def get(self, id):
        return self._owner_call(id, "get", (id,), repeatable=True)

    def list(self, offset=0, limit=2**32 - 1):
        """Live ids, shard after shard (within a shard, in order of their latest insertion)."""
        if not (0 <= offset < 2**32 and 0 <= limit < 2**32):
            raise ValueError("offset and limit must be between 0 and 2**32 - 1")
        found = []
        for shard, live in enumerate(_values(self._everywhere("live_count"))):
            if offset >= live:
                offset -= live
                continue
            if len(found) == limit:
                break
            part = _values(self._run([(shard, "list", (offset, limit - len(found)))],
                                     repeatable=True))[0]
            found.extend(part)
            offset = 0
        return found

    def len(self):
        return sum(_values(self._everywhere("len")))

    def __len__(self):
        return self.len()

    def is_empty(self):
        return all(_values(self._everywhere("is_empty")))

    def stats(self):
        """The shards' statistics combined: counts and bytes summed; the compression ratio of
        all stored vectors together."""
        parts = _values(self._everywhere("stats"))
        count = sum(part.vector_count for part in parts)
        stored = sum(part.vector_count / part.compression_ratio for part in parts
                     if part.compression_ratio > 0)
        return Stats(count, self._dimensions, sum(part.memory_usage_bytes for part in parts),
                     count / stored if stored > 0 else 1.0)

    def search(self, query, k=10, filter=None, text=None, fusion=None, *, partial=False):
        """The k nearest live vectors over every shard, nearest first, ties by id. With
        `partial`, shards that cannot answer are left out instead of failing the search. With
        `text`, a hybrid search (see hybrid_search)."""
        if text is not None:
            return self.hybrid_search(query, text, k, filter, fusion, partial=partial)
        answers = _unless_empty(self._everywhere("search", (query, k, filter), partial=partial))
        return _merge_hits(answers, k)

    def text_search(self, text, k=10, filter=None, *, partial=False):
        """The k best keyword hits over every shard, best first, ties by id. Each shard scores
        with its own BM25 statistics, so scores are those of its documents alone."""
        answers = _values(self._everywhere("text_search", (text, k, filter), partial=partial))
        return _merge_text_hits(answers, k)

    def hybrid_search(self, query, text, k=10, filter=None, fusion=None, *, partial=False):
        """Client.hybrid_search over every shard: the vector list and the keyword list are each
        merged over the shards to the fusion depth first, then fused once, as one database
        fuses its two lists."""
        depth = max(k, dict(DEFAULT_FUSION, **(fusion or {}))["depth"])
        nearest = _merge_hits(_unless_empty(
            self._everywhere("search", (query, depth, filter), partial=partial)), depth)
        keyword = _merge_text_hits(_values(
            self._everywhere("text_search", (text, depth, filter), partial=partial)), depth)
        return fuse(nearest, keyword, k, fusion)

    def search_batch(self, queries, k=10, filter=None, threads=None, include_metadata=False, *,
                     partial=False):
        """Client.search_batch over every shard: each shard searches all the queries in one call
        of its library, on `threads` threads of its worker, and the answers are merged per
        query. Rows are k wide, or as wide as the number of vectors the answering shards hold
        when that is smaller."""
        queries = np.asarray(queries, dtype=np.float32)
        if queries.ndim != 2:
            raise ValueError("queries must be a two-dimensional array (got %d dimensions)"
                             % queries.ndim)
        answers = _unless_empty(self._everywhere(
            "search_batch", (queries, k, filter, threads, include_metadata), partial=partial))
        return _merge_batches(answers, len(queries), k, include_metadata)
