"""Assigning the barcodes of FASTQ reads to a whitelist from Python: the
same options, decisions and output table as `velmora assign`.

    from velmora import fastq
    summary = fastq.assign_file("reads.fastq.gz", "whitelist.txt", "out.tsv", max_edits=1)

The decision for each read is the library's (vorn_rescue_read): this module
only reads, batches and formats.  A run has two passes over the reads: the
first counts, for every whitelist entry, the reads whose barcode window
matches it exactly (the abundance prior of the rescue); the second assigns.

Output: a header line, then one tab-separated line per read, in input order,
with the columns of COLUMNS.  '-' marks an absent value.
"""

import gzip
import io
import os
import struct
import zlib
from typing import Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from . import CountArray, Index, Metric, RescueParams, Status
from . import _INT64_MAX, _MAX_COUNT, _flag, _int, _real

__all__ = [
    "COLUMNS", "Options", "Summary", "assign_file", "assign_records", "count_exact", "header",
    "with_barcode_length",
    "load_whitelist", "options", "parse_whitelist", "read_fastq", "record_boundaries",
]

COLUMNS = ("read", "observed", "status", "assigned", "distance", "second_distance", "hits",
           "posterior", "candidates")
MAX_CANDIDATES = 8
_STATUS_NAMES = {Status.NONE: b"none", Status.UNIQUE: b"unique", Status.AMBIGUOUS: b"ambiguous",
                 Status.INVALID: b"invalid"}


class Options(NamedTuple):
    """The options of `velmora assign` (see options())."""
    k: int
    hamming: bool
    barcode_start: int
    barcode_length: Optional[int]
    rescue: bool
    min_exact: int
    prior_pseudocount: float
    min_posterior: float
    indel_weight: float
    fixed_window: bool
    batch_size: int


def options(*, max_edits: Optional[int] = None, max_mismatches: Optional[int] = None,
            barcode_start: int = 0, barcode_length: Optional[int] = None,
            no_rescue: bool = False, min_exact: Optional[int] = None,
            prior_pseudocount: Optional[float] = None, min_posterior: Optional[float] = None,
            indel_weight: Optional[float] = None, fixed_window: bool = False,
            batch_size: int = 8192) -> Options:
    """Options as the tool's flags name them (--max-edits K becomes
    max_edits=K, --no-rescue no_rescue=True, ...).  Exactly one of
    max_edits and max_mismatches; unset rescue parameters take the
    library's defaults (RescueParams.default())."""
    # The tool's bounds, checked here so that a bad option fails before
    # the first pass over the reads.
    if (max_edits is None) == (max_mismatches is None):
        raise ValueError("give exactly one of max_edits and max_mismatches")
    d = RescueParams.default()
    hamming = max_mismatches is not None
    k = (_int(max_mismatches, "max_mismatches", 0, 3) if hamming
         else _int(max_edits, "max_edits", 0, _MAX_COUNT))
    barcode_start = _int(barcode_start, "barcode_start", 0, _INT64_MAX)
    if barcode_length is not None:
        barcode_length = _int(barcode_length, "barcode_length", 0, _INT64_MAX)
    rescue = not _flag(no_rescue, "no_rescue")
    fixed_window = _flag(fixed_window, "fixed_window")
    batch_size = _int(batch_size, "batch_size", 1, 1 << 24)
    return Options(
        k, hamming, barcode_start, barcode_length, rescue,
        d.min_exact if min_exact is None else _int(min_exact, "min_exact", 0, _INT64_MAX),
        d.prior_pseudocount if prior_pseudocount is None
        else _real(prior_pseudocount, "prior_pseudocount", 0.0, 1e12),
        d.min_posterior if min_posterior is None
        else _real(min_posterior, "min_posterior", 0.0, 1.0),
        d.indel_weight if indel_weight is None else _real(indel_weight, "indel_weight", 0.0, 1e6),
        fixed_window or hamming, batch_size)


def _params(opt: Options) -> RescueParams:
    return RescueParams.default(
        metric=Metric.HAMMING if opt.hamming else Metric.EDIT, k=opt.k,
        fixed_window=opt.fixed_window, rescue=opt.rescue, min_exact=opt.min_exact,
        prior_pseudocount=opt.prior_pseudocount, indel_weight=opt.indel_weight,
        min_posterior=opt.min_posterior)


# ---------------------------------------------------------------------------
# Input

def _open(path: str):
    """A binary stream of the file's content, gunzipped when it starts with
    the gzip magic (every member is read)."""
    f = open(path, "rb")
    if f.peek(2)[:2] == b"\x1f\x8b":
        f.close()
        return gzip.open(path, "rb")
    return f


def load_whitelist(path: str) -> List[bytes]:
    """The entries of a whitelist file, plain or gzip (see parse_whitelist)."""
    with open(path, "rb") as f:
        return parse_whitelist(f.read())


def parse_whitelist(data: bytes) -> List[bytes]:
    """One barcode per line, plain or gzip; surrounding blanks trimmed,
    empty lines and lines starting with '#' skipped, letters upper-cased
    (as reads are)."""
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    out = []
    for line in data.split(b"\n"):
        s = line.strip(b" \t\r\f\v")
        if s and not s.startswith(b"#"):
            out.append(s.upper())
    return out


def read_fastq(path: str, start: int = 0, end: Optional[int] = None
               ) -> Iterator[Tuple[bytes, bytes, bytes]]:
    """(name, sequence, quality) for each record.  name is the header up to
    the first space or tab.  start and end (plain files only) select the
    bytes [start, end), which must hold whole records: take them from
    record_boundaries.  Malformed records raise ValueError naming the file,
    the record and the line."""
    f = _open(path)
    with f:
        if start or end is not None:
            if isinstance(f, gzip.GzipFile):
                raise ValueError("%s: a gzip file cannot be read in byte ranges" % path)
            f.seek(start)
        left = None if end is None else end - start
        where = path if not start else "%s (from byte %d)" % (path, start)
        tail = b""
        record = 0
        while True:
            size = 1 << 22 if left is None else min(1 << 22, left)
            block = f.read(size) if size else b""
            if left is not None:
                left -= len(block)
            lines = (tail + block).split(b"\n")
            if block:
                n = (len(lines) - 1) // 4
                tail = b"\n".join(lines[4 * n:])
            else:
                if lines and lines[-1] == b"":
                    lines.pop()
                n = len(lines) // 4
                while lines and lines[-1] in (b"", b"\r") and len(lines) > 4 * n:
                    lines.pop()
                rest = lines[4 * n:]
            if b"\r" in block or (not block and b"\r" in tail):
                lines = [x[:-1] if x.endswith(b"\r") else x for x in lines[:4 * n]]
            heads, seqs, seps, quals = lines[0:4 * n:4], lines[1:4 * n:4], lines[2:4 * n:4], \
                lines[3:4 * n:4]
            for head, seq, sep, qual in zip(heads, seqs, seps, quals):
                record += 1
                if head[:1] != b"@" or sep[:1] != b"+" or len(seq) != len(qual):
                    _bad_record(where, record, head, seq, sep, qual)
                name = head[1:].split(b" ", 1)[0]
                if b"\t" in name:
                    name = name.split(b"\t", 1)[0]
                yield name, seq, qual
            if not block:
                if rest:
                    if any(rest):
                        raise ValueError("%s: record %d (line %d): truncated record"
                                         % (where, record + 1, 4 * record + 1))
                return


def _bad_record(where, record, head, seq, sep, qual):
    at = "%s: record %d (line %d): " % (where, record, 4 * record - 3)
    if head == b"":
        raise ValueError(at + "blank line between records")
    if head[:1] != b"@":
        raise ValueError(at + "expected a header line starting with '@'")
    if sep[:1] != b"+":
        raise ValueError(at + "expected a separator line starting with '+'")
    raise ValueError(at + "the quality line has %d characters, the sequence %d"
                     % (len(qual), len(seq)))


def record_boundaries(path: str, parts: int) -> List[Optional[int]]:
    """Byte offsets cutting a plain FASTQ file into about `parts` pieces at
    record starts: [0, ..., size], for read_fastq(path, cut[i], cut[i + 1]).
    A gzip file is one piece: [0, None]."""
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        if f.peek(2)[:2] == b"\x1f\x8b":
            return [0, None]
        if parts <= 1 or size == 0:
            return [0, size]
        cuts = [0]
        for i in range(1, parts):
            at = _record_start(f, size * i // parts)
            if at > cuts[-1] and at < size:
                cuts.append(at)
        cuts.append(size)
        return cuts


def _record_start(f, offset: int) -> int:
    """The first record start at or after offset.  A line starting with '@'
    may be a quality line, so a header is accepted only when the line two
    below starts with '+' and the next header follows (or the file ends)."""
    f.seek(offset)
    if offset:
        f.readline()  # the rest of a line begun before offset
    while True:
        pos = f.tell()
        lines = [f.readline() for _ in range(5)]
        if not lines[0]:
            return pos
        if (lines[0][:1] == b"@" and lines[2][:1] == b"+"
                and len(lines[1].rstrip(b"\r\n")) == len(lines[3].rstrip(b"\r\n"))
                and (not lines[4] or lines[4][:1] == b"@")):
            return pos
        f.seek(pos)
        f.readline()


# ---------------------------------------------------------------------------
# Assignment

class Summary(NamedTuple):
    """Counts of one run (or one part of a run: parts add with +)."""
    reads: int
    status: Dict[str, int]
    exact: int
    corrected: int
    lower_case: int

    def __add__(self, other):
        status = dict(self.status)
        for key, v in other.status.items():
            status[key] = status.get(key, 0) + v
        return Summary(self.reads + other.reads, status, self.exact + other.exact,
                       self.corrected + other.corrected, self.lower_case + other.lower_case)

    @staticmethod
    def empty():
        return Summary(0, {"unique": 0, "ambiguous": 0, "none": 0, "invalid": 0}, 0, 0, 0)


def with_barcode_length(opt: Options, entries: Sequence[bytes]) -> Options:
    """opt with barcode_length set: when it is None, the whitelist's, which
    all entries must then share (ValueError otherwise)."""
    if opt.barcode_length is not None:
        return opt
    lengths = set(map(len, entries))
    if len(lengths) > 1:
        raise ValueError("whitelist entries have lengths from %d to %d: give barcode_length"
                         % (min(lengths), max(lengths)))
    return opt._replace(barcode_length=lengths.pop() if lengths else 0)


def _batches(records: Iterable, size: int):
    batch = []
    for r in records:
        batch.append(r)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def count_exact(records: Iterable[Tuple[bytes, bytes, bytes]], index: Index, opt: Options,
                counts: Optional[CountArray] = None) -> CountArray:
    """The first pass: adds to counts (a new CountArray when None), for
    every whitelist entry, the reads whose barcode window (upper-cased)
    equals it and no other entry.  opt.barcode_length must be set."""
    if counts is None:
        counts = CountArray(len(index))
    s = opt.barcode_start
    e = s + opt.barcode_length
    for batch in _batches(records, opt.batch_size):
        windows = [seq[s:e].upper() for _, seq, _ in batch if e <= len(seq)]
        for m in index.lookup_exact(windows):
            if m.status is Status.UNIQUE:
                counts[m.best_index] += 1
    return counts


def assign_records(records: Iterable[Tuple[bytes, bytes, bytes]], index: Index,
                   whitelist: Sequence[bytes], counts: Optional[CountArray], opt: Options,
                   out=None) -> Summary:
    """The second pass: decides every record and writes its line (no header)
    to the binary stream out (None: nothing written).  counts comes from
    count_exact over the same reads (None only with opt.rescue off);
    opt.barcode_length must be set."""
    params = _params(opt)
    status_count = dict.fromkeys(Summary.empty().status, 0)
    reads = exact = corrected = lower = 0
    hamming = opt.hamming
    metric = Metric.HAMMING if hamming else Metric.EDIT
    distance_rule = not opt.rescue and opt.fixed_window
    s = opt.barcode_start
    length = opt.barcode_length
    e = s + length
    # The window plus the bases its end may move into.
    tail_end = e + (0 if opt.fixed_window else opt.k)
    posterior = b"%.6f" if params.rescue else None
    for batch in _batches(records, opt.batch_size):
        tails = []
        for _, seq, _ in batch:
            if e > len(seq):
                tails.append(None)
                continue
            t = seq[s:tail_end]
            up = t.upper()
            lower += up != t
            tails.append(up)
        windows = [b"" if t is None else t[:length] for t in tails]
        recs = index.assign_hamming(windows, opt.k) if hamming else index.assign(windows, opt.k)
        lines = []
        for (name, _, qual), tail, w, m in zip(batch, tails, windows, recs):
            reads += 1
            if tail is None:
                status_count["invalid"] += 1
                lines.append(name + b"\t-\tinvalid\t-\t-\t-\t-\t-\t-")
                continue
            observed = w or b"-"
            if m.status is Status.UNIQUE and m.best_distance == 0:
                exact += 1
                status_count["unique"] += 1
                lines.append(b"\t".join((
                    name, observed, b"unique", whitelist[m.best_index], b"0",
                    b"-" if m.second_distance is None else b"%d" % m.second_distance,
                    b"%d" % m.hit_count, b"-", b"-")))
                continue
            if distance_rule:
                # The distance rule on the fixed window is the record itself;
                # only the list of entries is missing.
                status, assigned = m.status, m.best_index
                distance, second, n_hits = m.best_distance, m.second_distance, m.hit_count
                hits = index.hits(w, opt.k, metric)[:MAX_CANDIDATES] if n_hits else ()
            else:
                res, hits = index.rescue(tail, qual[s:s + len(tail)], length, counts, params,
                                         max_hits=MAX_CANDIDATES)
                status, assigned = res.status, res.index
                distance, second, n_hits = res.distance, res.second_distance, res.hit_count
            name_ = _STATUS_NAMES[status]
            status_count[name_.decode()] += 1
            if status is Status.UNIQUE:
                corrected += 1
            lines.append(b"\t".join((
                name, observed, name_,
                whitelist[assigned] if status is Status.UNIQUE else b"-",
                b"-" if distance is None else b"%d" % distance,
                b"-" if second is None else b"%d" % second,
                b"%d" % n_hits,
                posterior % res.posterior if posterior and n_hits else b"-",
                b",".join(whitelist[h.index] for h in hits) if hits else b"-")))
        if out is not None:
            lines.append(b"")
            out.write(b"\n".join(lines))
    return Summary(reads, status_count, exact, corrected, lower)


def header() -> bytes:
    return "\t".join(COLUMNS).encode("ascii") + b"\n"


def assign_file(reads: str, whitelist: str, out: Optional[str] = None, *,
                index: Optional[Index] = None, **option_args) -> Summary:
    """`velmora assign --reads READS --whitelist WHITELIST --out OUT`:
    both passes over one FASTQ file (plain or gzip).  out None writes
    nothing (the summary is still returned); a name ending in .gz is written
    gzip-compressed.  option_args are those of options(); index, when given,
    must be built over load_whitelist(whitelist)."""
    opt = options(**option_args)
    entries = load_whitelist(whitelist)
    opt = with_barcode_length(opt, entries)
    own = index is None
    if own:
        index = Index(entries)
    try:
        counts = count_exact(read_fastq(reads), index, opt) if opt.rescue else None
        if out is None:
            return assign_records(read_fastq(reads), index, entries, counts, opt)
        tmp = out + ".tmp%d" % os.getpid()
        try:
            with _create(tmp, out.endswith(".gz")) as f:
                f.write(header())
                summary = assign_records(read_fastq(reads), index, entries, counts, opt, f)
            os.replace(tmp, out)
        except BaseException:
            if os.path.exists(tmp):
                os.unlink(tmp)
            raise
        return summary
    finally:
        if own:
            index.close()


class _GzipWriter:
    """gzip at level 1 with no name, time 0 and OS "Unix" in the header:
    the bytes the velmora tool writes for the same table."""

    def __init__(self, raw):
        self._raw = raw
        self._z = zlib.compressobj(1, zlib.DEFLATED, -zlib.MAX_WBITS)
        self._crc = 0
        self._size = 0
        raw.write(b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\x03")

    def write(self, data):
        self._crc = zlib.crc32(data, self._crc)
        self._size += len(data)
        self._raw.write(self._z.compress(data))

    def close(self):
        self._raw.write(self._z.flush())
        self._raw.write(struct.pack("<II", self._crc, self._size & 0xFFFFFFFF))


class _create:
    """A binary output file, gzip-compressed on request."""

    def __init__(self, path: str, compress: bool):
        self._raw = open(path, "wb")
        self._f = _GzipWriter(self._raw) if compress \
            else io.BufferedWriter(self._raw, 1 << 20)

    def __enter__(self):
        return self._f

    def __exit__(self, *exc):
        try:
            self._f.close()
        finally:
            self._raw.close()
