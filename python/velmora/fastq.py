"""Assigning the barcodes of FASTQ reads to a whitelist from Python: the
`velmora assign` command's own pipeline, run in this process.

    from velmora import fastq
    summary = fastq.assign_file("reads.fastq.gz", "whitelist.txt", "out.tsv", max_edits=1)

Everything between the files and the summary (the whitelist's rules, FASTQ
reading, the counting pass, the decisions, the writers) is the native read
pipeline that the command runs (velmora._pipeline), so the outputs are the
command's byte for byte.  Options take the command's flag names
(--max-edits K becomes max_edits=K, --no-rescue no_rescue=True, ...) and are
checked against the same bounds before any file is opened.

Output: a header line, then one tab-separated line per read, in input order,
with the columns of COLUMNS.  '-' marks an absent value.  Outputs are written
to a temporary file in the target's folder and renamed into place once
complete, so a failed call publishes nothing; names ending in .gz are
gzip-compressed.

Errors: options out of range raise ValueError (TypeError for a wrong type);
a file that cannot be read or holds bad data raises DataError (a ValueError)
whose message names the file, the record and the line.
"""

import json
import os
import warnings
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import RescueParams
from . import _INT64_MAX, _MAX_COUNT, _flag, _int, _real

__all__ = [
    "COLUMNS", "DataError", "Options", "Summary", "assign_file", "header", "load_whitelist",
    "options", "record_boundaries",
]

COLUMNS = ("read", "observed", "status", "assigned", "distance", "second_distance", "hits",
           "posterior", "candidates")
MAX_CANDIDATES = 8
# The command's default and bounds of --max-line-length.
_MAX_LINE_DEFAULT = 64 << 20
_MAX_LINE_MAX = 1 << 40


def _pipeline():
    """The native module (imported on first use, so that importing this
    module needs no library yet)."""
    from . import _pipeline as p
    return p


def __getattr__(name):
    # DataError lives in the native module; importing velmora.fastq must not
    # need the library yet.
    if name == "DataError":
        return _pipeline().DataError
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


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
    threads: int = 1
    max_line_length: int = _MAX_LINE_DEFAULT
    segment_bounds: Tuple[int, ...] = ()  # one bound per barcode segment, or () for k


def options(*, max_edits: Union[int, Sequence[int], None] = None,
            max_mismatches: Union[int, Sequence[int], None] = None,
            barcode_start: int = 0, barcode_length: Optional[int] = None,
            no_rescue: bool = False, min_exact: Optional[int] = None,
            prior_pseudocount: Optional[float] = None, min_posterior: Optional[float] = None,
            indel_weight: Optional[float] = None, fixed_window: bool = False,
            batch_size: int = 8192, threads: int = 1,
            max_line_length: int = _MAX_LINE_DEFAULT) -> Options:
    """Options as the tool's flags name them (--max-edits K becomes
    max_edits=K, --no-rescue no_rescue=True, ...).  Exactly one of
    max_edits and max_mismatches: one bound, or a list of one bound per
    barcode segment of the read structure (--max-edits 1,2,0 becomes
    max_edits=[1, 2, 0]).  Unset rescue parameters take the library's
    defaults (RescueParams.default())."""
    # The tool's bounds, checked here so that a bad option fails before
    # the first pass over the reads.
    if (max_edits is None) == (max_mismatches is None):
        raise ValueError("give exactly one of max_edits and max_mismatches")
    d = RescueParams.default()
    hamming = max_mismatches is not None
    name, given, hi = (("max_mismatches", max_mismatches, 3) if hamming
                       else ("max_edits", max_edits, _MAX_COUNT))
    if isinstance(given, (list, tuple)):
        if not given:
            raise ValueError("%s must hold at least one bound" % name)
        bounds = tuple(_int(b, name, 0, hi) for b in given)
    else:
        bounds = (_int(given, name, 0, hi),)
    k = max(bounds)
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
        fixed_window or hamming, batch_size, _int(threads, "threads", 1, 1024),
        _int(max_line_length, "max_line_length", 1, _MAX_LINE_MAX),
        bounds if len(bounds) > 1 else ())


def _path(p, what) -> bytes:
    """A path as the native code takes it: bytes, any name the file system
    can hold (os.fsencode)."""
    try:
        return os.fsencode(p)
    except TypeError:
        raise TypeError("%s must be a path (str, bytes or os.PathLike), not %s"
                        % (what, type(p).__name__)) from None


def _native_options(opt: Options, **paths) -> dict:
    """The dict velmora._pipeline takes: opt plus the named paths."""
    d = opt._asdict()
    d.update(paths)
    return d


_STATUS_ORDER = ("unique", "ambiguous", "none", "invalid")


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

    @staticmethod
    def _from_counts(c: dict) -> "Summary":
        """From the counts of velmora._pipeline.assign."""
        return Summary(c["reads"], {k: c["status"][k] for k in _STATUS_ORDER}, c["exact"],
                       c["corrected"], c["lower_case_reads"])

    @staticmethod
    def _from_report(r: dict) -> "Summary":
        """From the command's summary JSON."""
        return Summary(r["reads"], {k: r["status"][k]["count"] for k in _STATUS_ORDER},
                       r["rescue"]["assigned_exact"], r["rescue"]["assigned_with_errors"],
                       r["lower_case_reads"])


def header() -> bytes:
    return "\t".join(COLUMNS).encode("ascii") + b"\n"


def assign_file(reads, whitelist, out: Optional[str] = None, *,
                summary: Optional[str] = None, counts: Optional[str] = None,
                knee_plot: Optional[str] = None, cells: Optional[str] = None, index=None,
                read_structure: Optional[Sequence[str]] = None,
                out_fastq: Optional[Sequence[str]] = None, out_bam: Optional[str] = None,
                no_umi_correct: bool = False, **option_args) -> Summary:
    """`velmora assign --reads READS --whitelist WHITELIST --out OUT`: both
    passes over the reads (plain or gzip FASTQ; a list of paths: the lanes of
    one library, the prior pooled over them and the table lane by lane).
    out None writes no table (the summary is still returned); summary,
    counts, knee_plot and cells are the --summary, --counts, --knee-plot and
    --cells files.
    option_args are those of options(), threads included.  Warnings the
    command would print are issued as RuntimeWarning.  index is accepted for
    compatibility and not used: the pipeline builds the index it needs.

    read_structure (--read-structure, once per file of a lane) makes each
    item of reads a lane: a sequence of its parallel files (read 1, read 2,
    ...), one per structure; whitelist may then be a sequence, one per
    barcode segment or one for all; out_fastq (a sequence, one per file
    holding template segments) and out_bam are --out-fastq and --out-bam;
    no_umi_correct is --no-umi-correct."""
    opt = options(**option_args)
    if index is not None:
        warnings.warn("assign_file ignores index: the pipeline builds its own",
                      DeprecationWarning, stacklevel=2)
    if isinstance(reads, (str, bytes, os.PathLike)):
        reads = [reads]
    structured = {}
    if read_structure is not None:
        if isinstance(read_structure, (str, bytes)):
            read_structure = [read_structure]
        structured["read_structures"] = [_path(r, "read_structure") for r in read_structure]
        lanes = []
        for lane in reads:
            files = [lane] if isinstance(lane, (str, bytes, os.PathLike)) else list(lane)
            lanes.append([_path(f, "reads") for f in files])
        structured["lanes"] = lanes
        paths = [f for lane in lanes for f in lane]
        lists = [whitelist] if isinstance(whitelist, (str, bytes, os.PathLike)) else list(whitelist)
        if not lists:
            raise ValueError("whitelist: give at least one file")
        structured["whitelists"] = [_path(w, "whitelist") for w in lists]
        whitelist = lists[0]
        structured["out_fastq"] = [_path(f, "out_fastq") for f in (out_fastq or [])]
        structured["out_bam"] = b"" if out_bam is None else _path(out_bam, "out_bam")
        structured["command_line"] = b"velmora.fastq.assign_file"
        structured["umi_correct"] = not _flag(no_umi_correct, "no_umi_correct")
    else:
        if out_fastq or out_bam is not None:
            raise ValueError("out_fastq and out_bam need read_structure (the template segments to write)")
        if opt.segment_bounds:
            raise ValueError("one bound per barcode segment needs read_structure")
        paths = [_path(r, "reads") for r in reads]
    if not paths:
        raise ValueError("reads: give at least one FASTQ file")
    args = _native_options(
        opt, whitelist=_path(whitelist, "whitelist"), reads=paths, **structured,
        out=b"" if out is None else _path(out, "out"),
        summary=b"" if summary is None else _path(summary, "summary"),
        counts=b"" if counts is None else _path(counts, "counts"),
        knee_plot=b"" if knee_plot is None else _path(knee_plot, "knee_plot"),
        cells=b"" if cells is None else _path(cells, "cells"))
    report, messages = _pipeline().run(args)
    for m in messages:
        warnings.warn(m, RuntimeWarning, stacklevel=2)
    return Summary._from_report(json.loads(report))


def load_whitelist(path: str, *, max_line_length: int = _MAX_LINE_DEFAULT) -> List[bytes]:
    """The distinct entries of a whitelist file (plain or gzip) as the
    command reads it: blanks trimmed, empty and '#' lines skipped, letters
    upper-cased, repeats dropped (the first kept); anything else is a
    DataError naming the line.  Index(load_whitelist(p)) is the command's
    index."""
    return _pipeline().load_whitelist(
        _path(path, "path"), True, _int(max_line_length, "max_line_length", 1, _MAX_LINE_MAX))


def record_boundaries(path: str, parts: int) -> List[int]:
    """Byte offsets cutting a plain FASTQ file into about `parts` pieces at
    record starts: [0, ..., size].  A gzip file is one piece."""
    return _pipeline().record_starts(_path(path, "path"), _int(parts, "parts", 1, _INT64_MAX))
