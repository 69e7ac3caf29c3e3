"""Barcode assignment over many FASTQ files, or one huge one, on a Dask
cluster (python3-dask, python3-distributed).

    from distributed import Client
    from velmora.dask import assign_files
    client = Client("tcp://scheduler:8786")
    results = assign_files(paths, "whitelist.txt.gz", client, out_dir="out", max_edits=1)

The work is cut into tasks of one file or of a byte range of a plain FASTQ
file (cut at record starts).  Every worker builds the whitelist's index
once, the first time a task needs it, and keeps it in a worker-local cache
keyed by the whitelist's content hash; later tasks, and later calls with the
same whitelist, reuse it.  The whitelist travels to each worker once (as
bytes, broadcast), so the workers need not see the client's file system for
it; the reads and the output folder must be visible to the workers.

A run has two distributed passes, as the tool has two passes over a file:
the first counts the exact matches per whitelist entry (the abundance prior
of the rescue), per file or pooled over all files (pool_prior=True); the
sums are sent to the tasks of the second pass, which assign and write.
Every output is byte-identical to `velmora assign` (and to
velmora.fastq.assign_file) on that file.
"""

import array
import hashlib
import os
import threading
from collections import OrderedDict
from typing import Dict, List, Optional, Sequence

from . import _INT64_MAX, CountArray, Index, _flag, _int
from . import fastq

__all__ = ["assign_files", "cache_info", "output_path"]

# Worker-local cache: content hash -> (Index, entries).  An index of a
# 737K-entry list with every table takes about 210 MiB, so only a couple
# are kept.
_CACHE_SIZE = int(os.environ.get("VELMORA_DASK_CACHE", "2"))
_cache: "OrderedDict[str, tuple]" = OrderedDict()
_cache_lock = threading.Lock()
_builds = 0


def cache_info() -> Dict[str, int]:
    """This process's cache: indexes built so far and indexes held."""
    with _cache_lock:
        return {"builds": _builds, "cached": len(_cache)}


def _index_for(key: str, whitelist: bytes):
    global _builds
    with _cache_lock:  # one build per key even with several worker threads
        got = _cache.get(key)
        if got is None:
            entries = fastq.parse_whitelist(whitelist)
            got = (Index(entries), entries)
            _builds += 1
            _cache[key] = got
            while len(_cache) > _CACHE_SIZE:
                _cache.popitem(last=False)[1][0].close()
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

def _boundaries(path: str, chunk_bytes: int) -> List[int]:
    size = os.path.getsize(path)
    return fastq.record_boundaries(path, max(1, -(-size // chunk_bytes)))


def _count(key, whitelist, path, start, end, opt) -> bytes:
    index, _ = _index_for(key, whitelist)
    counts = fastq.count_exact(fastq.read_fastq(path, start, end), index, opt)
    return counts.tobytes()


def _sum(*parts: bytes) -> bytes:
    total = array.array("Q", parts[0])
    for p in parts[1:]:
        a = array.array("Q", p)
        for i, v in enumerate(a):
            if v:
                total[i] += v
    return total.tobytes()


def _assign(key, whitelist, path, start, end, counts, opt, part) -> fastq.Summary:
    index, entries = _index_for(key, whitelist)
    c = None if counts is None else CountArray(counts)
    with open(part, "wb") as f:
        return fastq.assign_records(fastq.read_fastq(path, start, end), index, entries, c,
                                    opt, f)


def _concat(out: str, parts: Sequence[str], *summaries: fastq.Summary) -> fastq.Summary:
    tmp = out + ".tmp%d" % os.getpid()
    try:
        with fastq._create(tmp, out.endswith(".gz")) as f:
            f.write(fastq.header())
            for p in parts:
                with open(p, "rb") as src:
                    while True:
                        block = src.read(1 << 20)
                        if not block:
                            break
                        f.write(block)
        os.replace(tmp, out)
    finally:
        for p in list(parts) + [tmp]:
            if os.path.exists(p):
                os.unlink(p)
    total = fastq.Summary.empty()
    for s in summaries:
        total = total + s
    return total


# --- the client side -------------------------------------------------------

def assign_files(paths: Sequence[str], whitelist: str, client=None, *,
                 out_dir: Optional[str] = None, compress: bool = False,
                 chunk_bytes: int = 256 << 20, pool_prior: bool = False,
                 **options) -> List[dict]:
    """Assigns the reads of every FASTQ file in paths (plain or gzip) to the
    whitelist on a Dask cluster and writes one table per file.

    client: a distributed.Client (None: the current client, else a
    LocalCluster for the duration of the call).  out_dir: folder for the
    tables (None: beside each input); names from output_path().
    compress: gzip the tables.  chunk_bytes: plain files larger than this
    are cut at record starts into tasks of about this size (gzip files are
    one task each).  pool_prior: count the abundance prior over all files
    together instead of per file (lanes of one library).  options: those of
    velmora.fastq.options (max_edits=1, barcode_length=16, ...).

    Returns, in the order of paths, one dict per file: {"reads": path,
    "out": table path, "summary": velmora.fastq.Summary}."""
    opt = fastq.options(**options)
    chunk_bytes = _int(chunk_bytes, "chunk_bytes", 1, _INT64_MAX)
    compress = _flag(compress, "compress")
    pool_prior = _flag(pool_prior, "pool_prior")
    paths = [os.path.abspath(p) for p in paths]
    outs = [output_path(p, out_dir, compress) for p in paths]
    if len(set(outs)) != len(outs):
        raise ValueError("two inputs would write the same output: %s" % outs)
    with open(whitelist, "rb") as f:
        wl_bytes = f.read()
    key = hashlib.sha256(wl_bytes).hexdigest()
    opt = fastq.with_barcode_length(opt, fastq.parse_whitelist(wl_bytes))

    own = None
    if client is None:
        import distributed
        try:
            client = distributed.get_client()
        except ValueError:
            own = client = distributed.Client(distributed.LocalCluster())
    try:
        wl = client.scatter(wl_bytes, broadcast=True, hash=False)
        cuts = client.gather(client.map(_boundaries, paths, chunk_bytes=chunk_bytes,
                                        pure=False))
        ranges = [[(c[i], c[i + 1]) for i in range(len(c) - 1)] for c in cuts]

        counts: List = [None] * len(paths)
        if opt.rescue:
            per_file = [[client.submit(_count, key, wl, p, s, e, opt, pure=False)
                         for s, e in rs] for p, rs in zip(paths, ranges)]
            if pool_prior:
                everything = client.submit(_sum, *[f for fs in per_file for f in fs],
                                           pure=False)
                counts = [everything] * len(paths)
            else:
                counts = [client.submit(_sum, *fs, pure=False) for fs in per_file]

        finals = []
        for p, out, rs, c in zip(paths, outs, ranges, counts):
            parts = ["%s.part%d.%d" % (out, os.getpid(), i) for i in range(len(rs))]
            sums = [client.submit(_assign, key, wl, p, s, e, c, opt, part, pure=False)
                    for (s, e), part in zip(rs, parts)]
            finals.append(client.submit(_concat, out, parts, *sums, pure=False))
        summaries = client.gather(finals)
    finally:
        if own is not None:
            cluster = own.cluster
            own.close()
            cluster.close()
    return [{"reads": p, "out": o, "summary": s} for p, o, s in zip(paths, outs, summaries)]
