"""libvelmora for Python: match nucleotide sequences (reads, cell and sample
barcodes) against a list of references while tolerating a few errors.

    import velmora
    with velmora.Index(["ACGTACGT", "ACGTTCGT", "GGGGCCCC"]) as index:
        for m in index.assign(["ACGTACGA", "TTTTTTTT"], k=1):
            print(m.status.name, m.best_index, m.best_distance)
        print(index.hits("ACGTACGA", k=2))        # [Hit(index=0, distance=1), ...]
    print(velmora.edit_distance("kitten", "sitting"))

Conventions shared by every call:

- Sequences are str (ASCII only) or bytes-like objects, compared byte by
  byte: 'N' matches only 'N' and letter case matters, except in
  Index.lookup_exact(..., ignore_case=True).
- k is inclusive: a distance <= k qualifies.
- A batch call takes an iterable of sequences and returns one record per
  query, in order.  It hands the whole batch to the library in a few calls
  (large batches are cut into slices of about 20 ms so that Ctrl-C is
  honoured promptly); the library runs without the GIL, so threads sharing
  one Index run in parallel.
- Records are named tuples.  best_index, best_distance and second_distance
  are None when there is nothing to report; status is a Status (NONE,
  UNIQUE, AMBIGUOUS, INVALID).
- Errors: a wrongly typed argument raises TypeError, an out-of-range one
  ValueError, a closed index ValueError, and the library running out of
  memory MemoryError.  A query the library cannot evaluate is not an error;
  its record has Status.INVALID.

The shared library is found inside the package (pip install), through the
VELMORA_LIBRARY environment variable, next to a CMake build or on the system
path (see velmora._native).
"""

import array
import ctypes
import enum
import itertools
import math
import numbers
import operator
import threading
import time
import weakref
from typing import Iterable, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _native
from ._native import LibraryNotFoundError

__version__ = _native.VERSION

__all__ = [
    "Assignment", "CountArray", "EditClass", "Hit", "Index", "LibraryNotFoundError", "Match", "Metric",
    "RescueParams", "RescueResult", "Stats", "Status", "alphabet_policy", "assign_many",
    "edit_distance", "edit_distance_leq", "match_many", "__version__",
]

SeqLike = Union[str, bytes, bytearray, memoryview]

_ABSENT = 0xFFFFFFFF
_MAX_COUNT = 0x7FFFFFFF
_INT64_MAX = 2 ** 63 - 1
_UINT64_MAX = 2 ** 64 - 1
_SIZE_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_size_t)) - 1


class Status(enum.IntEnum):
    """Outcome of one query (VORN_STATUS_*)."""
    NONE = 0              #: no reference within k
    UNIQUE = 1            #: exactly one reference at the best distance
    AMBIGUOUS = 2         #: two or more references at the best distance
    INVALID = 0xFFFFFFFF  #: the query could not be evaluated


class EditClass(enum.IntEnum):
    """Kind of edit between a query and its best reference (VORN_EDIT_*)."""
    NONE = 0
    EXACT = 1
    SUBSTITUTION = 2
    INSERTION = 3         #: the query is one byte longer
    DELETION = 4          #: the query is one byte shorter
    TWO = 5
    OTHER = 6
    INVALID = 0xFFFFFFFF


class Metric(enum.IntEnum):
    """Distance used by Index.hits and Index.rescue (VORN_METRIC_*)."""
    EDIT = 0              #: Levenshtein distance, any k >= 0
    HAMMING = 1           #: substitutions only, equal lengths, 0 <= k <= 3


class Match(NamedTuple):
    """The result of one query (vorn_match).

    best_index: position of the closest reference, the lowest among those at
    the best distance; best_distance: smallest distance within k;
    second_distance: smallest distance within k strictly above the best;
    hit_count: references within k; status: a Status."""
    best_index: Optional[int]
    best_distance: Optional[int]
    second_distance: Optional[int]
    hit_count: int
    status: Status


class Assignment(NamedTuple):
    """Match plus best_count (references at the best distance) and
    edit_class (vorn_assignment)."""
    best_index: Optional[int]
    best_distance: Optional[int]
    second_distance: Optional[int]
    best_count: int
    hit_count: int
    status: Status
    edit_class: EditClass


class Stats(NamedTuple):
    """Work counters of one batch call (vorn_stats): references taken up as
    candidates, and full comparisons performed."""
    candidates: int
    verifications: int


class Hit(NamedTuple):
    """One reference within the bound: its position and its distance."""
    index: int
    distance: int


class _RescueFields(NamedTuple):
    metric: Metric
    k: int
    fixed_window: bool
    rescue: bool
    min_exact: int
    prior_pseudocount: float
    indel_weight: float
    min_posterior: float
    quality_offset: int


class RescueParams(_RescueFields):
    """How Index.rescue decides (vorn_rescue_params).  Start from
    RescueParams.default() and _replace what differs.

    metric, k: Metric.EDIT (k >= 0) or Metric.HAMMING (0 <= k <= 3);
    fixed_window: compare only window_len bytes; otherwise (edit metric) the
    window's end may move by up to k bytes; rescue: decide by posterior
    (else: a single reference at the best distance); min_exact: a reference
    is a candidate only with at least this many exact reads;
    prior_pseudocount: the prior of a candidate without exact reads, one only
    with min_exact 0 (finite, >= 0); indel_weight: cost factor of an inserted or deleted base (finite,
    >= 0); min_posterior: the top candidate is assigned at this posterior or
    above (0 to 1); quality_offset: Phred offset of the quality bytes.

    Every value is checked when the parameters are made (construction,
    _replace, default): TypeError or ValueError naming the field."""
    __slots__ = ()

    def __new__(cls, metric, k, fixed_window, rescue, min_exact, prior_pseudocount,
                indel_weight, min_posterior, quality_offset):
        # Checked here rather than at the call so that a bad value is reported
        # where it was written, not as a refusal from the library later.
        metric = _metric(metric)
        return super().__new__(
            cls, metric, _int(k, "k", 0, 3 if metric == Metric.HAMMING else _MAX_COUNT),
            _flag(fixed_window, "fixed_window"), _flag(rescue, "rescue"),
            _int(min_exact, "min_exact", 0, _UINT64_MAX),
            _real(prior_pseudocount, "prior_pseudocount", 0.0),
            _real(indel_weight, "indel_weight", 0.0),
            _real(min_posterior, "min_posterior", 0.0, 1.0),
            _int(quality_offset, "quality_offset", 0, 255))

    @classmethod
    def _make(cls, iterable):
        # _replace builds through _make, which would bypass __new__.
        return cls(*iterable)

    @classmethod
    def default(cls, **changes) -> "RescueParams":
        """The library's defaults (vorn_rescue_params_default), with changes."""
        p = _native.VornRescueParams()
        _native.lib().vorn_rescue_params_default(ctypes.byref(p))
        base = cls(Metric(p.metric), p.k, bool(p.fixed_window), bool(p.rescue), p.min_exact,
                   p.prior_pseudocount, p.indel_weight, p.min_posterior, p.quality_offset)
        return base._replace(**changes)


class RescueResult(NamedTuple):
    """The decision for one read (vorn_rescue_result): status UNIQUE when
    assigned to index; AMBIGUOUS when references lie within the bound but
    none is assigned; NONE when none does.  posterior is the top candidate's
    (0.0 when the distance rule decided)."""
    status: Status
    index: Optional[int]
    distance: Optional[int]
    second_distance: Optional[int]
    hit_count: int
    posterior: float


# What the batch calls of Index return: the records, or with with_stats=True
# the records and the batch's counters.
Records = Union[List[Match], Tuple[List[Match], Stats]]


# ---------------------------------------------------------------------------
# Sequences in, records out, in bulk.

def _sequence(seq, what):
    if isinstance(seq, bytes):
        return seq
    if isinstance(seq, str):
        try:
            return seq.encode("ascii")
        except UnicodeEncodeError:
            raise ValueError("%s: a str sequence must be ASCII; pass bytes for other byte values"
                             % what) from None
    if isinstance(seq, (bytearray, memoryview)):
        return bytes(seq)
    raise TypeError("%s must be str or bytes, not %s" % (what, type(seq).__name__))


def _typecode(ctype):
    for code in "BHILQ":
        if array.array(code).itemsize == ctypes.sizeof(ctype):
            return code
    raise ImportError("no array type code matches %s" % ctype.__name__)


_SIZE_T = _typecode(ctypes.c_size_t)
_POINTER = _typecode(ctypes.c_void_p)
_U32 = _typecode(ctypes.c_uint32)
_PTR_BYTES = ctypes.sizeof(ctypes.c_void_p)
_SIZE_BYTES = ctypes.sizeof(ctypes.c_size_t)


def _address(data: bytes) -> int:
    return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value


class _Batch:
    """A list of sequences as the C calls take it: one buffer holding every
    sequence, and arrays of pointers into it and of lengths, built with bulk
    operations (one join, one accumulate) rather than per query."""

    __slots__ = ("n", "data", "lens", "ptrs")

    def __init__(self, seqs, what):
        if isinstance(seqs, (str, bytes, bytearray, memoryview)):
            raise TypeError("%s must be a list of sequences, not a single %s; wrap it in a list"
                            % (what, type(seqs).__name__))
        try:
            items = seqs if isinstance(seqs, list) else list(seqs)
        except TypeError:
            raise TypeError("%s must be an iterable of str or bytes, not %s"
                            % (what, type(seqs).__name__)) from None
        data = None
        try:
            data = "".join(items).encode("ascii")
            lens = array.array(_SIZE_T, map(len, items))
        except (TypeError, UnicodeEncodeError):
            try:
                data = b"".join(items)
                lens = array.array(_SIZE_T, map(len, items))
                if sum(lens) != len(data):  # memoryviews of wider items
                    data = None
            except TypeError:
                data = None
        if data is None:
            items = [_sequence(s, "%s[%d]" % (what, i)) for i, s in enumerate(items)]
            data = b"".join(items)
            lens = array.array(_SIZE_T, map(len, items))
        self.n = len(lens)
        self.data = data
        self.lens = lens
        self.ptrs = array.array(_POINTER, map(_address(data).__add__,
                                              itertools.accumulate(lens, initial=0)))

    def at(self, i):
        """Addresses of the pointer and length arrays from query i on."""
        return (self.ptrs.buffer_info()[0] + i * _PTR_BYTES,
                self.lens.buffer_info()[0] + i * _SIZE_BYTES)


_STATUS = {s.value: s for s in Status}
_EDIT = {e.value: e for e in EditClass}
_none_if_absent = {_ABSENT: None}.get
_new_tuple = tuple.__new__
_repeat = itertools.repeat


def _opt_column(col):
    return map(_none_if_absent, col, col)


def _matches(flat):
    # flat holds five uint32 per record; columns are converted with C-level
    # maps so that a record costs no Python-level function call.
    return list(map(_new_tuple, _repeat(Match), zip(
        _opt_column(flat[0::5]), _opt_column(flat[1::5]), _opt_column(flat[2::5]),
        flat[3::5], map(_STATUS.__getitem__, flat[4::5]))))


def _assignments(flat):
    return list(map(_new_tuple, _repeat(Assignment), zip(
        _opt_column(flat[0::7]), _opt_column(flat[1::7]), _opt_column(flat[2::7]),
        flat[3::7], flat[4::7], map(_STATUS.__getitem__, flat[5::7]),
        map(_EDIT.__getitem__, flat[6::7]))))


def _int(value, name, lo, hi):
    if isinstance(value, bool):
        raise TypeError("%s must be an int, not bool" % name)
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__)) from None
    if v < lo or v > hi:
        raise ValueError("%s must be between %d and %d, got %d" % (name, lo, hi, v))
    return v


def _real(value, name, lo, hi=None):
    """value as a float within [lo, hi] (hi None: any finite value from lo
    up).  An int or a float; a str or a bool is a mistake, not a number."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be an int or a float, not %s" % (name, type(value).__name__))
    try:
        v = float(value)
    except OverflowError:
        v = math.inf
    if not math.isfinite(v) or v < lo or (hi is not None and v > hi):
        if hi is None:
            raise ValueError("%s must be finite and at least %g, got %r" % (name, lo, v))
        raise ValueError("%s must be between %g and %g, got %r" % (name, lo, hi, v))
    return v


def _flag(value, name):
    """A yes/no argument: a bool, or the int 0 or 1 as C callers write it."""
    if isinstance(value, bool):
        return value
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError("%s must be a bool, not %s" % (name, type(value).__name__)) from None
    if v not in (0, 1):
        raise ValueError("%s must be a bool (or 0 or 1), got %d" % (name, v))
    return bool(v)


def _check(rc, name):
    # Every argument the library could refuse is checked beforehand, so a
    # refusal here is a fault in the binding or the library.
    if rc != 0:
        raise RuntimeError("libvelmora: %s refused its arguments" % name)


# A slice of a batch should take about this long in C: long enough that the
# per-call cost vanishes, short enough that Ctrl-C (which Python handles only
# between C calls) and close() are served promptly.
_SLICE_SECONDS = 0.02


def _sliced(n, call):
    """Runs call(first, count) over [0, n) in slices timed to _SLICE_SECONDS,
    starting from one query and doubling, so that even a batch whose every
    query is slow (brute force) is cut finely."""
    first, size = 0, 1
    clock = time.perf_counter
    while first < n:
        count = min(size, n - first)
        t0 = clock()
        call(first, count)
        spent = clock() - t0
        first += count
        if spent < _SLICE_SECONDS / 4:
            size *= 2
        elif spent > _SLICE_SECONDS:
            size = max(1, int(size * _SLICE_SECONDS / spent))


def _free(handle):
    _native.lib().vorn_index_free(handle)


class Index:
    """A reference index (vorn_index): built once from a list of
    references, then queried by any number of threads at once.

    Index(references, *, deletion_table=True, piece_table=True)

    references: an iterable of str or bytes, copied (the list may change
    afterwards); references may mix lengths and alphabets.  Position i in
    every record means references[i].  deletion_table=False and
    piece_table=False leave those tables out (vorn_index_build_opts): less
    memory and build time, the same records, more work per query (see the
    Stats counters).

    Release it with close(), by leaving a with block, or let the collector
    do it.  close() waits for calls in flight in other threads and refuses
    calls that start later (ValueError).

    Raises TypeError / ValueError for bad references, MemoryError when the
    library runs out of memory.
    """

    __slots__ = ("_handle", "_size", "_cond", "_busy", "_finalizer", "__weakref__")

    def __init__(self, references: Iterable[SeqLike], *, deletion_table: bool = True,
                 piece_table: bool = True):
        self._handle = None
        self._size = 0
        self._busy = 0
        self._cond = threading.Condition(threading.Lock())
        self._finalizer = None
        for name, value in (("deletion_table", deletion_table), ("piece_table", piece_table)):
            if not isinstance(value, bool):
                raise TypeError("%s must be a bool, not %s" % (name, type(value).__name__))
        batch = _Batch(references, "references")
        if batch.n > _MAX_COUNT:
            raise ValueError("too many references: %d (at most %d)" % (batch.n, _MAX_COUNT))
        flags = (0 if deletion_table else 1) | (0 if piece_table else 2)
        ptrs, lens = batch.at(0)
        handle = _native.lib().vorn_index_build_opts(ptrs, lens, batch.n, flags)
        if not handle:
            raise MemoryError("libvelmora ran out of memory building the index")
        self._handle = handle
        self._size = batch.n
        # At interpreter exit daemon threads may still be inside a call:
        # leave the memory to the exiting process rather than free it there.
        self._finalizer = weakref.finalize(self, _free, handle)
        self._finalizer.atexit = False

    def close(self) -> None:
        """Frees the index.  Waits until calls running in other threads have
        returned; calls made afterwards raise ValueError.  Idempotent."""
        with self._cond:
            handle, self._handle = self._handle, None
            while self._busy:
                self._cond.wait()
        if handle:
            self._finalizer.detach()
            _free(handle)

    def __enter__(self) -> "Index":
        self._enter()
        self._leave()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __len__(self) -> int:
        """Number of references given to the build."""
        return self._size

    def __repr__(self):
        state = "closed" if self._handle is None else "%d references" % self._size
        return "<velmora.Index %s>" % state

    # Two Python objects owning one C index would free it twice.
    def __copy__(self):
        raise TypeError("velmora.Index cannot be copied; build another index")

    def __deepcopy__(self, memo):
        raise TypeError("velmora.Index cannot be copied; build another index")

    def __reduce__(self):
        raise TypeError("velmora.Index cannot be pickled; build it again from the references")

    @property
    def closed(self) -> bool:
        """True once close() has been called."""
        return self._handle is None

    def _enter(self):
        with self._cond:
            if self._handle is None:
                raise ValueError("operation on a closed velmora.Index")
            self._busy += 1
            return self._handle

    def _leave(self):
        with self._cond:
            self._busy -= 1
            if not self._busy:
                self._cond.notify_all()

    def _run(self, fn_name, queries, k, with_stats):
        batch = _Batch(queries, "queries")
        out = array.array(_U32, bytes(4 * 5 * max(batch.n, 1)))
        out_addr = out.buffer_info()[0]
        stats = _native.VornStats()
        total = [0, 0]
        fn = getattr(_native.lib(), fn_name)
        handle = self._enter()
        try:
            def call(first, count):
                ptrs, lens = batch.at(first)
                rec = out_addr + first * 20
                if k is None:
                    rc = fn(handle, ptrs, lens, count, rec, ctypes.byref(stats))
                else:
                    rc = fn(handle, ptrs, lens, count, k, rec, ctypes.byref(stats))
                _check(rc, fn_name)
                total[0] += stats.candidates
                total[1] += stats.verifications

            if batch.n == 0:
                # The library still checks the arguments and zeroes the counters.
                call(0, 0)
            else:
                _sliced(batch.n, call)
        finally:
            self._leave()
        records = _matches(out[:5 * batch.n])
        if with_stats:
            return records, Stats(total[0], total[1])
        return records

    def assign(self, queries: Iterable[SeqLike], k: int, *, with_stats: bool = False) -> "Records":
        """Assigns each query with up to k edits (substitutions, insertions,
        deletions) (vorn_index_assign_stats).

        Returns a list of Match, each equal to what comparing the query with
        every reference gives (match_many); with with_stats=True a
        (list, Stats) pair.  k = 0, 1 and 2 (k = 2 for queries up to 34
        bytes) use the index; larger k compares with every reference."""
        k = _int(k, "k", 0, _MAX_COUNT)
        return self._run("vorn_index_assign_stats", queries, k, with_stats)

    def assign_status(self, queries: Iterable[SeqLike], k: int, *,
                      with_stats: bool = False) -> "Records":
        """assign() in the status-only form (vorn_index_assign_status_stats):
        for k = 1 and 2 the search for a query may stop once two references
        share its best distance so far.  For k = 1 and A/C/G/T queries of at
        most 32 bytes, status and best_distance are the full form's,
        best_index is a reference at that distance, and hit_count and
        second_distance cover only what was examined.  For k = 2, and for
        other queries, a query may be reported AMBIGUOUS above its true best
        distance.  Any other k is assign()."""
        k = _int(k, "k", 0, _MAX_COUNT)
        return self._run("vorn_index_assign_status_stats", queries, k, with_stats)

    def assign_hamming(self, queries: Iterable[SeqLike], k: int, *,
                       with_stats: bool = False) -> "Records":
        """Assigns each query with up to k substitutions, 0 <= k <= 3
        (vorn_index_assign_hamming_stats): only references of the query's
        length can match; best_distance counts differing positions."""
        k = _int(k, "k", 0, 3)
        return self._run("vorn_index_assign_hamming_stats", queries, k, with_stats)

    def lookup_exact(self, queries: Iterable[SeqLike], ignore_case: bool = False, *,
                     with_stats: bool = False) -> "Records":
        """Finds the references byte-for-byte equal to each query
        (vorn_index_lookup_exact_many_stats): best_index is the lowest such
        position, hit_count their number.  With ignore_case=True ASCII
        letters compare without regard to case, every other byte literally."""
        if not isinstance(ignore_case, bool):
            raise TypeError("ignore_case must be a bool, not %s" % type(ignore_case).__name__)
        name = ("vorn_index_lookup_exact_ascii_many_stats" if ignore_case
                else "vorn_index_lookup_exact_many_stats")
        return self._run(name, queries, None, with_stats)

    def hits(self, query: SeqLike, k: int, metric: Metric = Metric.EDIT) -> List[Hit]:
        """Every reference within k of one query (vorn_index_hits), as a list
        of (index, distance) pairs in ascending distance, then ascending
        index: the references the record's hit_count counts, so hits[0] is
        the record's best reference when there is one.

        metric: Metric.EDIT (k >= 0) or Metric.HAMMING (0 <= k <= 3)."""
        metric = _metric(metric)
        k = _int(k, "k", 0, 3 if metric == Metric.HAMMING else _MAX_COUNT)
        q = _sequence(query, "query")
        n = ctypes.c_size_t(0)
        capacity = 16
        handle = self._enter()
        try:
            lib = _native.lib()
            while True:
                out = (_native.VornHit * capacity)()
                rc = lib.vorn_index_hits(handle, q, len(q), metric, k, out, capacity,
                                         ctypes.byref(n))
                if rc == -2:
                    raise MemoryError("libvelmora ran out of memory listing hits")
                _check(rc, "vorn_index_hits")
                if n.value <= capacity:
                    break
                capacity = n.value
        finally:
            self._leave()
        return [Hit(h.ref_index, h.distance) for h in out[:n.value]]

    def rescue(self, read: SeqLike, quals: Optional[SeqLike], window_len: int,
               exact_counts: Optional["CountArray"], params: RescueParams, *,
               max_hits: int = 8) -> Tuple[RescueResult, List[Hit]]:
        """Decides which reference one read's barcode belongs to
        (vorn_rescue_read), by the distance rule or by posterior.

        read, quals: the read from the barcode's first base on, and its Phred
        quality string (None: every base at error probability 0.001);
        window_len: the barcode length (read may be longer, so that the
        window's end can move); exact_counts: a CountArray of the exact reads
        per reference (None only when params.rescue is False); params: a
        RescueParams.  Returns the RescueResult and up to max_hits of the
        references within the bound, ordered as hits() orders them."""
        p = _c_params(params)
        max_hits = _int(max_hits, "max_hits", 0, _SIZE_MAX)
        r = _sequence(read, "read")
        qv = None if quals is None else _sequence(quals, "quals")
        if qv is not None and len(qv) != len(r):
            raise ValueError("quals must be as long as read (%d), got %d" % (len(r), len(qv)))
        window_len = _int(window_len, "window_len", 0, len(r))
        if exact_counts is None:
            counts_addr, n_counts = None, 0
            if params.rescue:
                raise ValueError("exact_counts is required when params.rescue is set")
        else:
            if not isinstance(exact_counts, CountArray) or len(exact_counts) != self._size:
                raise ValueError("exact_counts must be a CountArray of len(index) = %d counts"
                                 % self._size)
            counts_addr, n_counts = exact_counts.address, self._size
        # The library lists a reference once, so no more slots than
        # references can fill, however many the caller allows.
        capacity = min(max_hits, self._size)
        hits = (_native.VornHit * max(capacity, 1))()
        n = ctypes.c_size_t(0)
        res = _native.VornRescueResult()
        handle = self._enter()
        try:
            rc = _native.lib().vorn_rescue_read(handle, r, qv, len(r), window_len, counts_addr,
                                                n_counts, ctypes.byref(p), hits, capacity,
                                                ctypes.byref(n), ctypes.byref(res))
        finally:
            self._leave()
        if rc == -2:
            raise MemoryError("libvelmora ran out of memory deciding a read")
        _check(rc, "vorn_rescue_read")
        return (RescueResult(_STATUS[res.status], _none_if_absent(res.ref_index, res.ref_index),
                             _none_if_absent(res.distance, res.distance),
                             _none_if_absent(res.second_distance, res.second_distance),
                             res.hit_count, res.posterior),
                [Hit(h.ref_index, h.distance) for h in hits[:min(n.value, capacity)]])


class CountArray:
    """Per-reference read counts in the layout vorn_rescue_read takes
    (uint64 per reference).  Supports len(), indexing and +=."""

    __slots__ = ("_a",)

    def __init__(self, counts: Union[int, bytes, Iterable[int]]):
        if isinstance(counts, int):
            self._a = array.array("Q", bytes(8 * counts))
        elif isinstance(counts, bytes):
            self._a = array.array("Q")
            self._a.frombytes(counts)
        else:
            self._a = array.array("Q", counts)

    def __len__(self):
        return len(self._a)

    def __getitem__(self, i):
        return self._a[i]

    def __setitem__(self, i, v):
        self._a[i] = v

    def __iter__(self):
        return iter(self._a)

    def __iadd__(self, other):
        a = self._a
        for i, v in enumerate(other):
            if v:
                a[i] += v
        return self

    @property
    def address(self) -> int:
        return self._a.buffer_info()[0]

    def tolist(self) -> List[int]:
        return self._a.tolist()

    def tobytes(self) -> bytes:
        return self._a.tobytes()


def _metric(metric):
    if isinstance(metric, bool):
        raise TypeError("metric must be a Metric, not bool")
    try:
        v = operator.index(metric)
    except TypeError:
        raise TypeError("metric must be a Metric, not %s" % type(metric).__name__) from None
    try:
        return Metric(v)
    except ValueError:
        raise ValueError("metric must be Metric.EDIT or Metric.HAMMING, got %r" % (metric,)) \
            from None


def _c_params(params):
    if not isinstance(params, RescueParams):
        raise TypeError("params must be a RescueParams, not %s" % type(params).__name__)
    # RescueParams checked every field when it was made.
    return _native.VornRescueParams(
        params.metric, params.k, int(params.fixed_window), int(params.rescue), params.min_exact,
        params.prior_pseudocount, params.indel_weight, params.min_posterior,
        params.quality_offset)


def _brute_force(queries, references, k, function, words, extra=()):
    """Runs the brute-force matcher `function` (vorn_match_many or
    vorn_assign_many) over every query in slices; returns the flat records
    of `words` uint32 each."""
    k = _int(k, "k", 0, _MAX_COUNT)
    q = _Batch(queries, "queries")
    r = _Batch(references, "references")
    if r.n > _MAX_COUNT:
        raise ValueError("too many references: %d (at most %d)" % (r.n, _MAX_COUNT))
    out = array.array(_U32, bytes(4 * words * max(q.n, 1)))
    rp, rl = r.at(0)
    entry = getattr(_native.lib(), function)

    def call(first, count):
        qp, ql = q.at(first)
        _check(entry(qp, ql, count, rp, rl, r.n, k, *extra,
                     out.buffer_info()[0] + first * 4 * words), function)

    _sliced(q.n, call)
    return out[:words * q.n]


def match_many(queries: Iterable[SeqLike], references: Iterable[SeqLike], k: int) -> List[Match]:
    """Compares every query with every reference, no index
    (vorn_match_many): a list of Match."""
    return _matches(_brute_force(queries, references, k, "vorn_match_many", 5))


def assign_many(queries: Iterable[SeqLike], references: Iterable[SeqLike], k: int,
                require_single_hit: bool = False) -> List[Assignment]:
    """match_many() with a richer record (vorn_assign_many): best_count and
    the EditClass of the best reference.  With require_single_hit=True a
    query is AMBIGUOUS as soon as two references lie within k."""
    if not isinstance(require_single_hit, bool):
        raise TypeError("require_single_hit must be a bool")
    return _assignments(_brute_force(queries, references, k, "vorn_assign_many", 7,
                                     (int(require_single_hit),)))


def _operands(a, b):
    a = _sequence(a, "a")
    b = _sequence(b, "b")
    if len(a) > _MAX_COUNT or len(b) > _MAX_COUNT:
        raise ValueError("sequences longer than %d bytes are not supported" % _MAX_COUNT)
    return a, b


def edit_distance(a: SeqLike, b: SeqLike) -> int:
    """The edit (Levenshtein) distance of two sequences (vorn_edit_distance).
    Raises MemoryError when the library runs out of memory (possible only
    when both exceed 512 bytes)."""
    a, b = _operands(a, b)
    d = _native.lib().vorn_edit_distance(a, len(a), b, len(b))
    if d == _ABSENT:
        raise MemoryError("libvelmora ran out of memory computing an edit distance")
    return d


def edit_distance_leq(a: SeqLike, b: SeqLike, k: int) -> bool:
    """Whether the edit distance of a and b is at most k
    (vorn_edit_distance_leq); False for every negative k."""
    a, b = _operands(a, b)
    k = _int(k, "k", -0x80000000, _MAX_COUNT)
    r = _native.lib().vorn_edit_distance_leq(a, len(a), b, len(b), k)
    if r < 0:
        raise MemoryError("libvelmora ran out of memory computing an edit distance")
    return r == 1


def alphabet_policy() -> str:
    """How the library compares sequence bytes, as a sentence
    (vorn_alphabet_policy)."""
    return _native.lib().vorn_alphabet_policy().decode("ascii")
