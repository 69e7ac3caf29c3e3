"""Loading libvelmora and declaring its C functions for ctypes.

The library is searched, in this order:

1. the path in the environment variable VELMORA_LIBRARY, when it is set
   (and then nothing else, so a wrong setting is reported, not bypassed);
2. the package's own directory;
3. the directories recorded by the build in _build_config.py (the build
   tree, or the installed library directory relative to the package);
4. the dynamic loader's search path (LD_LIBRARY_PATH, the system cache) and
   ctypes.util.find_library.

When every candidate fails, LibraryNotFoundError lists what was tried.
"""

import ctypes
import ctypes.util
import os
import re
import sys
import threading

try:
    from . import _build_config
except ImportError:  # the package is used straight from the source tree
    _build_config = None

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def _version_from_header():
    # Source tree: python/velmora/ sits two levels below include/velmora.h.
    header = os.path.join(_PACKAGE_DIR, os.pardir, os.pardir, "include", "velmora.h")
    try:
        with open(header, encoding="ascii") as f:
            text = f.read()
    except OSError:
        return "0.0.0+unknown"
    parts = []
    for part in ("MAJOR", "MINOR", "PATCH"):
        m = re.search(r"^#define VELMORA_VERSION_%s\s+(\d+)\s*$" % part, text, re.M)
        if m is None:
            return "0.0.0+unknown"
        parts.append(m.group(1))
    return ".".join(parts)


VERSION = _build_config.VERSION if _build_config else _version_from_header()


class LibraryNotFoundError(OSError):
    """libvelmora could not be loaded from any of the places searched."""


class VornMatch(ctypes.Structure):
    _fields_ = [
        ("best_index", ctypes.c_uint32),
        ("best_distance", ctypes.c_uint32),
        ("second_distance", ctypes.c_uint32),
        ("hit_count", ctypes.c_uint32),
        ("status", ctypes.c_uint32),
    ]


class VornAssignment(ctypes.Structure):
    _fields_ = [
        ("best_index", ctypes.c_uint32),
        ("best_distance", ctypes.c_uint32),
        ("second_distance", ctypes.c_uint32),
        ("best_count", ctypes.c_uint32),
        ("hit_count", ctypes.c_uint32),
        ("status", ctypes.c_uint32),
        ("edit_class", ctypes.c_uint32),
    ]


class VornStats(ctypes.Structure):
    _fields_ = [("candidates", ctypes.c_uint64), ("verifications", ctypes.c_uint64)]


class VornHit(ctypes.Structure):
    _fields_ = [("ref_index", ctypes.c_uint32), ("distance", ctypes.c_uint32)]


class VornRescueParams(ctypes.Structure):
    _fields_ = [
        ("metric", ctypes.c_uint32),
        ("k", ctypes.c_int32),
        ("fixed_window", ctypes.c_uint32),
        ("rescue", ctypes.c_uint32),
        ("min_exact", ctypes.c_uint64),
        ("prior_pseudocount", ctypes.c_double),
        ("indel_weight", ctypes.c_double),
        ("min_posterior", ctypes.c_double),
        ("quality_offset", ctypes.c_uint32),
    ]


class VornRescueResult(ctypes.Structure):
    _fields_ = [
        ("status", ctypes.c_uint32),
        ("ref_index", ctypes.c_uint32),
        ("distance", ctypes.c_uint32),
        ("second_distance", ctypes.c_uint32),
        ("hit_count", ctypes.c_uint32),
        ("posterior", ctypes.c_double),
    ]


_u8p = ctypes.c_char_p
# Batches travel as raw addresses of pointer, length and record arrays that
# the binding fills in bulk (array.array), so a batch costs no per-query
# ctypes object.
_seqs = ctypes.c_void_p
_lens = ctypes.c_void_p
_size = ctypes.c_size_t
_i32 = ctypes.c_int32
_u32 = ctypes.c_uint32
_idx = ctypes.c_void_p
_match_p = ctypes.c_void_p
_stats_p = ctypes.POINTER(VornStats)
_u64 = ctypes.c_uint64

_SIGNATURES = {
    "vorn_alphabet_policy": (ctypes.c_char_p, []),
    "vorn_edit_distance": (_u32, [_u8p, _size, _u8p, _size]),
    "vorn_edit_distance_dp": (_u32, [_u8p, _size, _u8p, _size]),
    "vorn_edit_distance_myers64": (_u32, [_u8p, _size, _u8p, _size]),
    "vorn_edit_distance_leq": (_i32, [_u8p, _size, _u8p, _size, _i32]),
    "vorn_match_many": (_i32, [_seqs, _lens, _size, _seqs, _lens, _size, _i32, _match_p]),
    "vorn_assign_many": (_i32, [_seqs, _lens, _size, _seqs, _lens, _size, _i32, _u32,
                                ctypes.c_void_p]),
    "vorn_index_build": (_idx, [_seqs, _lens, _size]),
    "vorn_index_build_opts": (_idx, [_seqs, _lens, _size, _u32]),
    "vorn_index_free": (None, [_idx]),
    "vorn_index_lookup_exact_many_stats": (_i32, [_idx, _seqs, _lens, _size, _match_p, _stats_p]),
    "vorn_index_lookup_exact_ascii_many_stats": (_i32, [_idx, _seqs, _lens, _size, _match_p,
                                                        _stats_p]),
    "vorn_index_assign_stats": (_i32, [_idx, _seqs, _lens, _size, _i32, _match_p, _stats_p]),
    "vorn_index_assign_status_stats": (_i32, [_idx, _seqs, _lens, _size, _i32, _match_p,
                                              _stats_p]),
    "vorn_index_assign_hamming_stats": (_i32, [_idx, _seqs, _lens, _size, _i32, _match_p,
                                               _stats_p]),
    "vorn_index_hits": (_i32, [_idx, _u8p, _size, _u32, _i32, ctypes.POINTER(VornHit), _size,
                               ctypes.POINTER(_size)]),
    "vorn_rescue_params_default": (None, [ctypes.POINTER(VornRescueParams)]),
    "vorn_rescue_read": (_i32, [_idx, _u8p, _u8p, _size, _size, ctypes.c_void_p, _size,
                                ctypes.POINTER(VornRescueParams), ctypes.POINTER(VornHit), _size,
                                ctypes.POINTER(_size), ctypes.POINTER(VornRescueResult)]),
}


def _library_names():
    major = VERSION.split(".")[0]
    if sys.platform == "darwin":
        return ["libvelmora.%s.dylib" % major, "libvelmora.dylib"]
    if sys.platform == "win32":
        return ["velmora.dll", "libvelmora.dll"]
    soname = getattr(_build_config, "SONAME", None) or "libvelmora.so.%s" % major
    return [soname, "libvelmora.so"]


def candidates():
    """The library paths to try, in order, as (path, must_exist) pairs."""
    explicit = os.environ.get("VELMORA_LIBRARY")
    if explicit:
        return [(explicit, True)]
    names = _library_names()
    dirs = [_PACKAGE_DIR]
    for d in getattr(_build_config, "LIBRARY_DIRS", []):
        dirs.append(os.path.normpath(os.path.join(_PACKAGE_DIR, d)))
    out = [(os.path.join(d, n), True) for d in dirs for n in names]
    # Bare names go to the dynamic loader's own search.
    out.append((names[0], False))
    found = ctypes.util.find_library("velmora")
    if found:
        out.append((found, False))
    return out


def _declare(lib):
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


_lock = threading.Lock()
_lib = None


def lib():
    """The loaded library, with every function declared (loaded once)."""
    global _lib
    if _lib is not None:
        return _lib
    with _lock:
        if _lib is None:
            tried = []
            for path, must_exist in candidates():
                if must_exist and not os.path.exists(path):
                    tried.append("%s: no such file" % path)
                    continue
                try:
                    loaded = ctypes.CDLL(path)
                except OSError as e:
                    tried.append("%s: %s" % (path, e))
                    continue
                try:
                    _lib = _declare(loaded)
                except AttributeError as e:  # some other library of that name
                    tried.append("%s: not libvelmora (%s)" % (path, e))
                    continue
                break
            else:
                raise LibraryNotFoundError(
                    "libvelmora could not be loaded; tried:\n  " + "\n  ".join(tried) +
                    "\nSet VELMORA_LIBRARY to the path of the library file.")
    return _lib
