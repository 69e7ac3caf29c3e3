"""Barcode assignment over many FASTQ files, or one huge one, on a Dask
cluster (python3-dask, python3-distributed).

    from distributed import Client
    from velmora.dask import assign_files
    client = Client("tcp://scheduler:8786")
    results = assign_files(paths, "whitelist.txt.gz", client, out_dir="out", max_edits=1)

Every task runs the `velmora assign` command's native pipeline
(velmora._pipeline) on one shard: a whole file, or a byte range of a plain
FASTQ file cut at record starts, so that one big file keeps every worker
busy (a large gzip file, which cannot be entered in the middle, is counted
whole and then assigned in shards of records).  A run has the command's two passes: the first counts, per shard, the
reads that match each whitelist entry exactly (the abundance prior of the
rescue); the counts are summed per file, or over all files (pool_prior=True,
for the lanes of one library, as one command run over them all), and handed
to the second pass, which assigns and writes.  Each file's table is
byte-identical to the command's on that file (with pool_prior, the tables
together are the command's table over all the files).

Every worker loads the whitelist and builds its index once, the first time a
task needs it, and keeps it in a worker-local cache keyed by the whitelist's
content hash and the index tables; later tasks and later calls reuse it.  The
whitelist travels to each worker once, so the workers need not see the
client's file system for it; the reads and the output folder must be visible
to the workers.

Outputs are written like the command's: to a temporary file in the output
folder, renamed into place once complete.  The output folder is created (or
refused) before any work starts; when a task fails, the call raises its
error (which names the file), the shards' part files are removed, and no
incomplete table is published.
"""

import contextlib
import hashlib
import os
import threading
import time
import uuid
from collections import OrderedDict
from typing import Dict, List, Optional, Sequence

from . import _INT64_MAX, _flag, _int
from . import fastq

__all__ = ["assign_files", "cache_info", "output_path"]

# Worker-local cache: (content hash, tables) -> velmora._pipeline.Reference.
# An index of a 737K-entry list with every table takes about 210 MiB, so
# only a couple are kept.
_CACHE_SIZE = int(os.environ.get("VELMORA_DASK_CACHE", "2"))
_cache: "OrderedDict[tuple, object]" = OrderedDict()
_cache_lock = threading.Lock()
_builds = 0


def cache_info() -> Dict[str, int]:
    """This process's cache: indexes built so far and indexes held."""
    with _cache_lock:
        return {"builds": _builds, "cached": len(_cache)}


class _Whitelist:
    """The whitelist's bytes as they travel to the workers.  Its repr is
    short, so that a failed task's report never prints the list."""

    def __init__(self, data: bytes, name: bytes):
        self.data = data
        self.name = name
        self.key = hashlib.sha256(data).hexdigest()

    def __repr__(self):
        return "<whitelist %s, %d bytes, sha256 %s>" % (
            os.fsdecode(self.name), len(self.data), self.key[:12])


def _reference(wl: _Whitelist, tables: int, max_line_length: int):
    global _builds
    key = (wl.key, tables, max_line_length)
    with _cache_lock:  # one build per key even with several worker threads
        got = _cache.get(key)
        if got is None:
            got = fastq._pipeline().Reference(wl.data, wl.name, tables, max_line_length)
            _builds += 1
            _cache[key] = got
            while len(_cache) > _CACHE_SIZE:
                _cache.popitem(last=False)
        else:
            _cache.move_to_end(key)
        return got


def output_path(reads: str, out_dir: Optional[str] = None, compress: bool = False) -> str:
    """Where the table for a reads file goes: NAME.velmora.tsv (.gz) beside
    the input, or in out_dir, NAME being the file name without .gz and
    .fastq / .fq."""
    name = os.path.basename(reads)
    for ext in (".gz", ".fastq", ".fq"):
        if name.endswith(ext):
            name = name[:-len(ext)]
    name += ".velmora.tsv" + (".gz" if compress else "")
    return os.path.join(out_dir if out_dir is not None else os.path.dirname(reads), name)


# --- tasks (run on the workers) --------------------------------------------

def _cuts(path: str, chunk_bytes: int) -> List[int]:
    """Record starts cutting the file into shards of about chunk_bytes;
    opening it here makes a missing input fail before any pass."""
    p = fastq._pipeline()
    try:
        size = os.path.getsize(path)
    except OSError:
        size = 0  # record_starts names the problem
    return p.record_starts(os.fsencode(path), max(1, -(-size // chunk_bytes)))


# A shard: (start, end, skip, take), bytes [start, end) of a plain file and
# the records from number skip on, at most take (None: no bound).
_WHOLE = (0, None, 0, None)


def _count(wl, tables, path, shard, nopt):
    """(exact counts as bytes, records read) of one shard."""
    ref = _reference(wl, tables, nopt["max_line_length"])
    return fastq._pipeline().count(ref, nopt, os.fsencode(path), shard)


def _records(counted) -> int:
    return counted[1]


def _sum(*counted) -> bytes:
    return fastq._pipeline().sum_counts([c[0] for c in counted])


def _assign(wl, tables, path, shard, counts, nopt, out, header) -> fastq.Summary:
    ref = _reference(wl, tables, nopt["max_line_length"])
    c = fastq._pipeline().assign(ref, nopt, os.fsencode(path), shard, counts,
                                 os.fsencode(out), header)
    return fastq.Summary._from_counts(c)


def _concat(out: str, parts: Sequence[str], *summaries: fastq.Summary) -> fastq.Summary:
    try:
        fastq._pipeline().concat(os.fsencode(out), [os.fsencode(p) for p in parts])
    finally:
        _remove(parts)
    total = fastq.Summary.empty()
    for s in summaries:
        total = total + s
    return total


def _remove(paths: Sequence[str]) -> None:
    for p in paths:
        try:
            os.unlink(p)
        except FileNotFoundError:
            pass


# --- the client side -------------------------------------------------------

def _check_out_dir(out_dir: str) -> None:
    """Creates the output folder, or raises naming it, before any work."""
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as e:
        raise OSError(e.errno, "cannot create the output folder %r: %s"
                      % (out_dir, e.strerror)) from None
    if not os.access(out_dir, os.W_OK | os.X_OK):
        raise PermissionError("cannot write to the output folder %r" % out_dir)


def _settle(client, futures, timeout: float = 600.0) -> None:
    """After a failure: cancels what has not started and waits until no
    task of the call is still running, so that nothing writes after the
    clean-up."""
    client.cancel(futures)
    keys = {f.key for f in futures}
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        running = client.processing()
        if not any(k in keys for ks in running.values() for k in ks):
            return
        time.sleep(0.1)


@contextlib.contextmanager
def _client_or_local(client):
    """client; else the client this process already runs; else a client of a
    LocalCluster started for the call and closed after it."""
    if client is None:
        import distributed
        try:
            client = distributed.get_client()
        except ValueError:
            pass
    if client is not None:
        yield client
        return
    import distributed
    own = distributed.Client(distributed.LocalCluster())
    try:
        yield own
    finally:
        cluster = own.cluster
        own.close()
        cluster.close()


def assign_files(paths: Sequence[str], whitelist: str, client=None, *,
                 out_dir: Optional[str] = None, compress: bool = False,
                 chunk_bytes: int = 256 << 20, pool_prior: bool = False,
                 **options) -> List[dict]:
    """Assigns the reads of every FASTQ file in paths (plain or gzip) to the
    whitelist on a Dask cluster and writes one table per file.

    client: a distributed.Client (None: the current client, else a
    LocalCluster for the duration of the call).  out_dir: folder for the
    tables, created when missing (None: beside each input); names from
    output_path().  compress: gzip the tables.  chunk_bytes: plain files
    larger than this are cut at record starts into shards of about this size
    (gzip files are one shard each).  pool_prior: count the abundance prior
    over all files together instead of per file (lanes of one library).
    options: those of velmora.fastq.options (max_edits=1,
    barcode_length=16, ...); threads is the threads each task uses.

    Returns, in the order of paths, one dict per file: {"reads": path,
    "out": table path, "summary": velmora.fastq.Summary}."""
    opt = fastq.options(**options)
    chunk_bytes = _int(chunk_bytes, "chunk_bytes", 1, _INT64_MAX)
    compress = _flag(compress, "compress")
    pool_prior = _flag(pool_prior, "pool_prior")
    paths = [os.path.abspath(os.fsdecode(p)) for p in paths]
    if not paths:
        return []
    outs = [output_path(p, out_dir, compress) for p in paths]
    if len(set(outs)) != len(outs):
        raise ValueError("two inputs would write the same output: %s" % outs)
    clash = set(map(os.path.realpath, outs)) & set(map(os.path.realpath, paths))
    if clash:
        raise ValueError("an output would replace its input: %s" % sorted(clash))
    # The whitelist is checked (and the barcode length taken from it) before
    # any task runs.
    with open(whitelist, "rb") as f:
        wl = _Whitelist(f.read(), os.fsencode(whitelist))
    p = fastq._pipeline()
    opt = opt._replace(barcode_length=p.barcode_length(wl.data, wl.name, opt.max_line_length,
                                                       opt.barcode_length))
    if out_dir is not None:
        _check_out_dir(out_dir)
    else:
        for d in sorted(set(map(os.path.dirname, outs))):
            _check_out_dir(d)

    token = uuid.uuid4().hex
    futures = []
    parts_of: List[List[str]] = []
    with _client_or_local(client) as client:
        try:
            wl_future = client.scatter(wl, broadcast=True, hash=False)
            cut_futures = client.map(_cuts, paths, chunk_bytes=chunk_bytes, pure=False)
            futures += cut_futures
            cuts = client.gather(cut_futures)
            # Plain files are cut into shards by bytes at record starts; gzip
            # files (and small ones) are counted whole.
            shards = [[_WHOLE] if len(c) <= 2 else
                      [(c[i], c[i + 1], 0, None) for i in range(len(c) - 1)] for c in cuts]
            sizes = [c[-1] for c in cuts]
            tables = p.search_tables(fastq._native_options(opt), sum(sizes))
            nopt = fastq._native_options(opt)

            counts: List = [None] * len(paths)
            if opt.rescue:
                per_file = [[client.submit(_count, wl_future, tables, path, sh, nopt, pure=False)
                             for sh in shs] for path, shs in zip(paths, shards)]
                futures += [f for fs in per_file for f in fs]
                if pool_prior:
                    everything = client.submit(_sum, *[f for fs in per_file for f in fs], pure=False)
                    counts = [everything] * len(paths)
                    futures.append(everything)
                else:
                    counts = [client.submit(_sum, *fs, pure=False) for fs in per_file]
                    futures += counts
                # A large gzip file is assigned in shards of records: the
                # counting pass told how many it holds.  Each such shard reads
                # (without deciding) the records before its own, so there are no
                # more of them than the cluster has threads.
                big = [i for i, (shs, size) in enumerate(zip(shards, sizes))
                       if shs == [_WHOLE] and size > chunk_bytes]
                if big:
                    n = client.gather([client.submit(_records, per_file[i][0], pure=False)
                                       for i in big])
                    threads = max(1, sum(client.nthreads().values()))
                    for i, records in zip(big, n):
                        m = min(-(-sizes[i] // chunk_bytes), threads)
                        take = max(1, -(-records // m))
                        shards[i] = [(0, None, j, take if j + take < records else None)
                                     for j in range(0, max(records, 1), take)]

            finals = []
            for path, out, shs, c in zip(paths, outs, shards, counts):
                if len(shs) == 1:
                    parts_of.append([])
                    finals.append(client.submit(_assign, wl_future, tables, path, shs[0], c, nopt,
                                                out, True, pure=False))
                    continue
                head, tail = os.path.split(out)
                parts = [os.path.join(head, ".%s.velmora-%s.part%d" % (tail, token, i))
                         for i in range(len(shs))]
                parts_of.append(parts)
                sums = [client.submit(_assign, wl_future, tables, path, sh, c, nopt, part, False,
                                      pure=False) for sh, part in zip(shs, parts)]
                futures += sums
                finals.append(client.submit(_concat, out, parts, *sums, pure=False))
            futures += finals
            summaries = client.gather(finals)
        except BaseException:
            # Nothing of a failed call stays behind: its part files go, on a
            # worker (which sees the output folder) and here when visible.
            _settle(client, futures)
            leftovers = [q for parts in parts_of for q in parts]
            if leftovers:
                try:
                    client.submit(_remove, leftovers, pure=False).result()
                except Exception:  # the original error matters more
                    pass
                _remove(leftovers)
            raise
    return [{"reads": p, "out": o, "summary": s} for p, o, s in zip(paths, outs, summaries)]


def _assign_run(lanes, whitelist, out, kwargs) -> fastq.Summary:
    return fastq.assign_file(lanes, whitelist, out, **kwargs)


def assign_lanes(lanes: Sequence[Sequence[str]], whitelist, out: Optional[str], client=None, *,
                 read_structure: Sequence[str], **kwargs) -> fastq.Summary:
    """A run over read structures (paired or index reads, several barcode
    segments) as one Dask task: velmora.fastq.assign_file(lanes, whitelist,
    out, read_structure=..., **kwargs) on a worker, which must see the reads
    and the outputs.  The parallel files of a lane are not cut into shards:
    byte offsets of read 1 say nothing of where read 2's mates lie, and every
    segment's prior pools all the lanes, so the run is the command's run on
    one worker (its threads option sets the worker's threads).  Returns the
    run's velmora.fastq.Summary."""
    if not read_structure:
        raise ValueError("read_structure: give one per file of a lane (assign_files takes single files)")
    fastq.options(**{k: v for k, v in kwargs.items()
                     if k not in ("summary", "counts", "knee_plot", "cells", "out_fastq", "out_bam")})
    kwargs = dict(kwargs, read_structure=list(read_structure))
    lanes = [[os.path.abspath(os.fsdecode(f)) for f in ([lane] if isinstance(lane, (str, bytes)) else lane)]
             for lane in lanes]
    if isinstance(whitelist, (str, bytes, os.PathLike)):
        whitelist = os.path.abspath(os.fsdecode(whitelist))
    else:
        whitelist = [os.path.abspath(os.fsdecode(w)) for w in whitelist]
    with _client_or_local(client) as client:
        return client.submit(_assign_run, lanes, whitelist, out, kwargs, pure=False).result()
