"""Python binding of libvelmora: match nucleotide sequences against a list of
references with a few errors tolerated.

    import velmora
    index = velmora.Index(["ACGTACGT", "ACGTTCGT", "GGGGCCCC"])
    for m in index.assign(["ACGTACGA", "TTTTTTTT"], k=1):
        print(m.status.name, m.best_index, m.best_distance)
    print(velmora.edit_distance("kitten", "sitting"))

Sequences are str (ASCII only) or bytes-like objects, compared byte by byte:
'N' matches only 'N' and letter case matters, except in
lookup_exact(..., ignore_case=True).  Every batch call passes the whole list
to the library in one call and returns one record per query, in order.

Records are named tuples.  In Match and Assignment, best_index,
best_distance and second_distance are None when there is nothing to report,
and status is a Status (NONE, UNIQUE, AMBIGUOUS, INVALID).

Errors: a wrongly typed argument raises TypeError, an out-of-range one
ValueError, and the library running out of memory MemoryError.  A query the
library cannot evaluate is not an error; its record has Status.INVALID.

The library is found next to the package, through the VELMORA_LIBRARY
environment variable or on the system path (see velmora._native).  Index
objects may be shared between threads; close() must not run while another
thread uses the index.
"""

import ctypes
import enum
import operator
from typing import NamedTuple, Optional

from . import _native
from ._native import LibraryNotFoundError

__version__ = _native.VERSION

__all__ = [
    "Assignment", "EditClass", "Index", "LibraryNotFoundError", "Match", "Stats", "Status",
    "alphabet_policy", "assign_many", "edit_distance", "edit_distance_leq", "match_many",
    "__version__",
]

_ABSENT = 0xFFFFFFFF
_MAX_COUNT = 0x7FFFFFFF


class Status(enum.IntEnum):
    NONE = 0
    UNIQUE = 1
    AMBIGUOUS = 2
    INVALID = 0xFFFFFFFF


class EditClass(enum.IntEnum):
    NONE = 0
    EXACT = 1
    SUBSTITUTION = 2
    INSERTION = 3
    DELETION = 4
    TWO = 5
    OTHER = 6
    INVALID = 0xFFFFFFFF


class Match(NamedTuple):
    best_index: Optional[int]
    best_distance: Optional[int]
    second_distance: Optional[int]
    hit_count: int
    status: Status


class Assignment(NamedTuple):
    best_index: Optional[int]
    best_distance: Optional[int]
    second_distance: Optional[int]
    best_count: int
    hit_count: int
    status: Status
    edit_class: EditClass


class Stats(NamedTuple):
    candidates: int
    verifications: int


def _opt(v):
    return None if v == _ABSENT else v


def _match(r):
    return Match(_opt(r.best_index), _opt(r.best_distance), _opt(r.second_distance),
                 r.hit_count, Status(r.status))


def _assignment(r):
    return Assignment(_opt(r.best_index), _opt(r.best_distance), _opt(r.second_distance),
                      r.best_count, r.hit_count, Status(r.status), EditClass(r.edit_class))


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


class _Batch:
    """A list of sequences as the C calls take it: pointer and length arrays
    that keep the bytes they point to alive."""

    __slots__ = ("n", "ptrs", "lens", "_keep")

    def __init__(self, seqs, what):
        if isinstance(seqs, (str, bytes, bytearray, memoryview)):
            raise TypeError("%s must be a list of sequences, not a single %s; wrap it in a list"
                            % (what, type(seqs).__name__))
        try:
            items = list(seqs)
        except TypeError:
            raise TypeError("%s must be an iterable of str or bytes, not %s"
                            % (what, type(seqs).__name__)) from None
        data = [_sequence(s, "%s[%d]" % (what, i)) for i, s in enumerate(items)]
        self.n = len(data)
        self.ptrs = (ctypes.c_char_p * self.n)(*data)
        self.lens = (ctypes.c_size_t * self.n)(*map(len, data))
        self._keep = data


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


def _check(rc, name):
    # Every argument the library could refuse is checked beforehand, so a
    # refusal here is a fault in the binding or the library.
    if rc != 0:
        raise RuntimeError("libvelmora: %s refused its arguments" % name)


def _results(n):
    # The library refuses a null result array even for an empty batch.
    return (_native.VornMatch * max(n, 1))()


class Index:
    """A reference index, built once from a list of references (copied, so
    the list may change afterwards) and freed by close(), by leaving a with
    block, or when the object is collected."""

    __slots__ = ("_handle", "_size", "__weakref__")

    def __init__(self, references):
        self._handle = None
        self._size = 0
        batch = _Batch(references, "references")
        if batch.n > _MAX_COUNT:
            raise ValueError("too many references: %d (at most %d)" % (batch.n, _MAX_COUNT))
        handle = _native.lib().vorn_index_build(batch.ptrs, batch.lens, batch.n)
        if not handle:
            raise MemoryError("libvelmora ran out of memory building the index")
        self._handle = handle
        self._size = batch.n

    def close(self):
        """Frees the index; later calls raise ValueError.  Idempotent."""
        handle, self._handle = self._handle, None
        if handle:
            _native.lib().vorn_index_free(handle)

    def __enter__(self):
        self._live()
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # interpreter shutdown: module globals may be gone
            pass

    def __len__(self):
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
    def closed(self):
        return self._handle is None

    def _live(self):
        if self._handle is None:
            raise ValueError("operation on a closed velmora.Index")
        return self._handle

    def _run(self, fn_name, queries, k, with_stats):
        handle = self._live()
        batch = _Batch(queries, "queries")
        out = _results(batch.n)
        stats = _native.VornStats()
        if k is None:
            args = (handle, batch.ptrs, batch.lens, batch.n, out, ctypes.byref(stats))
        else:
            args = (handle, batch.ptrs, batch.lens, batch.n, k, out, ctypes.byref(stats))
        _check(getattr(_native.lib(), fn_name)(*args), fn_name)
        records = [_match(out[i]) for i in range(batch.n)]
        if with_stats:
            return records, Stats(stats.candidates, stats.verifications)
        return records

    def assign(self, queries, k, *, with_stats=False):
        """Assigns each query with up to k edits (substitutions, insertions,
        deletions): a list of Match, the same as match_many over the
        references; with with_stats=True, a (list, Stats) pair."""
        k = _int(k, "k", 0, _MAX_COUNT)
        return self._run("vorn_index_assign_stats", queries, k, with_stats)

    def assign_status(self, queries, k, *, with_stats=False):
        """assign() in the status-only form: for k = 1 and 2 the search for a
        query may stop once two references share its best distance so far,
        so hit_count and second_distance cover only what was examined."""
        k = _int(k, "k", 0, _MAX_COUNT)
        return self._run("vorn_index_assign_status_stats", queries, k, with_stats)

    def assign_hamming(self, queries, k, *, with_stats=False):
        """Assigns each query with up to k substitutions (0 <= k <= 3); only
        references of the query's length can match."""
        k = _int(k, "k", 0, 3)
        return self._run("vorn_index_assign_hamming_stats", queries, k, with_stats)

    def lookup_exact(self, queries, ignore_case=False, *, with_stats=False):
        """Finds the references identical to each query; with
        ignore_case=True ASCII letters compare without regard to case."""
        if not isinstance(ignore_case, bool):
            raise TypeError("ignore_case must be a bool, not %s" % type(ignore_case).__name__)
        name = ("vorn_index_lookup_exact_ascii_many_stats" if ignore_case
                else "vorn_index_lookup_exact_many_stats")
        return self._run(name, queries, None, with_stats)


def match_many(queries, references, k):
    """Compares every query with every reference (no index): a list of Match."""
    k = _int(k, "k", 0, _MAX_COUNT)
    q = _Batch(queries, "queries")
    r = _Batch(references, "references")
    if r.n > _MAX_COUNT:
        raise ValueError("too many references: %d (at most %d)" % (r.n, _MAX_COUNT))
    out = _results(q.n)
    _check(_native.lib().vorn_match_many(q.ptrs, q.lens, q.n, r.ptrs, r.lens, r.n, k, out),
           "vorn_match_many")
    return [_match(out[i]) for i in range(q.n)]


def assign_many(queries, references, k, require_single_hit=False):
    """match_many() with best_count and the kind of edit (EditClass); with
    require_single_hit=True a query is AMBIGUOUS as soon as two references
    lie within k."""
    k = _int(k, "k", 0, _MAX_COUNT)
    if not isinstance(require_single_hit, bool):
        raise TypeError("require_single_hit must be a bool")
    q = _Batch(queries, "queries")
    r = _Batch(references, "references")
    if r.n > _MAX_COUNT:
        raise ValueError("too many references: %d (at most %d)" % (r.n, _MAX_COUNT))
    out = (_native.VornAssignment * max(q.n, 1))()
    _check(_native.lib().vorn_assign_many(q.ptrs, q.lens, q.n, r.ptrs, r.lens, r.n, k,
                                          1 if require_single_hit else 0, out),
           "vorn_assign_many")
    return [_assignment(out[i]) for i in range(q.n)]


def _operands(a, b):
    a = _sequence(a, "a")
    b = _sequence(b, "b")
    if len(a) > _MAX_COUNT or len(b) > _MAX_COUNT:
        raise ValueError("sequences longer than %d bytes are not supported" % _MAX_COUNT)
    return a, b


def edit_distance(a, b):
    """The edit (Levenshtein) distance of two sequences."""
    a, b = _operands(a, b)
    d = _native.lib().vorn_edit_distance(a, len(a), b, len(b))
    if d == _ABSENT:
        raise MemoryError("libvelmora ran out of memory computing an edit distance")
    return d


def edit_distance_leq(a, b, k):
    """Whether the edit distance of a and b is at most k."""
    a, b = _operands(a, b)
    k = _int(k, "k", -0x80000000, _MAX_COUNT)
    r = _native.lib().vorn_edit_distance_leq(a, len(a), b, len(b), k)
    if r < 0:
        raise MemoryError("libvelmora ran out of memory computing an edit distance")
    return r == 1


def alphabet_policy():
    """How the library compares sequence bytes, as a sentence."""
    return _native.lib().vorn_alphabet_policy().decode("ascii")
