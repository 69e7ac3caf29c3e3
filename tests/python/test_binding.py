"""What the binding adds to the C calls: bad arguments raise TypeError or
ValueError naming the argument before any C call; an index is freed exactly
once whatever the caller does and refuses use once closed; the library is
found (or its absence reported with every path tried) and its version is
the header's."""

import gc
import math
import os
import pickle
import re
import subprocess
import sys
import tempfile
import unittest

import velmora
from velmora import _native, fastq
from velmora import dask as vdask  # needs dask only once a cluster is asked for

HEADER = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "include", "velmora.h")
PACKAGE = os.path.dirname(velmora.__file__)


class BadArguments(unittest.TestCase):
    def test_table(self):
        with velmora.Index(["ACGT", "ACGA"]) as ix:
            rule = velmora.RescueParams.default(rescue=False)
            cases = [
                (lambda: velmora.Index("ACGT"), TypeError, "single str"),
                (lambda: velmora.Index(["ACGT", None]), TypeError, "references[1]"),
                (lambda: velmora.Index(["AC\u00e9"]), ValueError, "ASCII"),
                (lambda: velmora.Index(["A"], piece_table=0), TypeError, "piece_table"),
                (lambda: ix.assign([b"A", 3.5], 1), TypeError, "queries[1]"),
                (lambda: ix.assign(["A"], -1), ValueError, "k must be between 0"),
                (lambda: ix.assign(["A"], 2 ** 31), ValueError, "k must be between 0"),
                (lambda: ix.assign(["A"], True), TypeError, "not bool"),
                (lambda: ix.assign_hamming(["A"], 4), ValueError, "between 0 and 3"),
                (lambda: ix.lookup_exact(["A"], ignore_case="yes"), TypeError, "ignore_case"),
                (lambda: velmora.assign_many(["A"], ["A"], 1, require_single_hit=2), TypeError,
                 "require_single_hit"),
                (lambda: velmora.edit_distance("A", None), TypeError, "b must be str or bytes"),
                (lambda: ix.hits("A", 1, 7), ValueError, "metric"),
                (lambda: ix.rescue("ACGT", "II", 4, None, rule), ValueError, "quals must be as long"),
                (lambda: ix.rescue("ACGT", None, 4, None, velmora.RescueParams.default()),
                 ValueError, "exact_counts is required"),
                (lambda: ix.rescue("ACGT", None, 4, velmora.CountArray(3),
                                   velmora.RescueParams.default()), ValueError, "len(index)"),
                (lambda: ix.rescue("ACGT", None, 4, None, rule, max_hits=-1), ValueError,
                 "max_hits must"),
                (lambda: ix.rescue("ACGT", None, 4, None, rule, max_hits=2 ** 64), ValueError,
                 "max_hits must"),
                (lambda: ix.rescue("ACGT", None, 4, None, rule, max_hits=2.0), TypeError,
                 "max_hits must"),
                (lambda: ix.hits("A", 1, 1.0), TypeError, "metric must"),
                (lambda: rule._replace(k=-1), ValueError, "k must"),
                (lambda: velmora.RescueParams(*rule[:-1], 256), ValueError, "quality_offset must"),
            ]
            # Each field as RescueParams.default() takes it, then the tool's
            # options as velmora.fastq and velmora.dask take them: checked
            # before the (missing) files are opened.
            cases += [(lambda n=n, v=v: velmora.RescueParams.default(**{n: v}), exc, n + " must")
                      for n, v, exc in [
                          ("metric", True, TypeError), ("k", 2 ** 31, ValueError),
                          ("fixed_window", 2, ValueError), ("rescue", "yes", TypeError),
                          ("min_exact", 2 ** 64, ValueError),
                          ("prior_pseudocount", math.inf, ValueError),
                          ("indel_weight", -0.1, ValueError), ("min_posterior", "0.5", TypeError),
                          ("min_posterior", math.nan, ValueError),
                          ("min_posterior", 1.5, ValueError)]]
            for n, v, exc in [("max_edits", -1, ValueError), ("max_edits", 2 ** 31, ValueError),
                              ("max_mismatches", 4, ValueError), ("barcode_start", -1, ValueError),
                              ("barcode_length", 16.0, TypeError),
                              ("min_exact", 2 ** 63, ValueError),
                              ("prior_pseudocount", 1e13, ValueError),
                              ("indel_weight", 1e7, ValueError),
                              ("min_posterior", "0.5", TypeError),
                              ("min_posterior", math.nan, ValueError),
                              ("batch_size", 2 ** 24 + 1, ValueError),
                              ("no_rescue", "no", TypeError)]:
                opts = {n: v} if n.startswith("max_") else {"max_edits": 1, n: v}
                cases += [(lambda o=opts: fastq.assign_file("no.fq", "no.txt", **o), exc,
                           n + " must"),
                          (lambda o=opts: vdask.assign_files(["no.fq"], "no.txt", **o), exc,
                           n + " must")]
            cases += [(lambda v=v: vdask.assign_files(["no.fq"], "no.txt", max_edits=1,
                                                      chunk_bytes=v), exc, "chunk_bytes must")
                      for v, exc in [(0, ValueError), (1.5, TypeError)]]
            for i, (call, exc, text) in enumerate(cases):
                with self.subTest(case=i, text=text):
                    with self.assertRaises(exc) as ctx:
                        call()
                    self.assertIn(text, str(ctx.exception))
            # Any max_hits up to C's size_t is fine: the slots are bounded by
            # the references, not by what the caller allows.
            self.assertEqual(len(ix.rescue("ACGA", None, 4, None, rule, max_hits=2 ** 64 - 1)[1]),
                             2)
        self.assertFalse(velmora.edit_distance_leq("", "", -1))  # as in C: no, not an error


class Lifecycle(unittest.TestCase):
    def test_freed_once_and_closed_refuses_use(self):
        lib = _native.lib()
        real_free, freed = lib.vorn_index_free, []
        lib.vorn_index_free = lambda handle: (freed.append(handle), real_free(handle))
        try:
            for how in (lambda ix: (ix.close(), ix.close()), lambda ix: None):
                freed.clear()
                ix = velmora.Index(["ACGT", "TTTT"])
                handle = ix._handle
                how(ix)
                del ix
                gc.collect()
                self.assertEqual(freed, [handle])
            freed.clear()
            with self.assertRaises(TypeError):
                velmora.Index(["ACGT", 5])
            gc.collect()
            self.assertEqual(freed, [])
        finally:
            lib.vorn_index_free = real_free
        ix = velmora.Index(["ACGT"])
        with self.assertRaises(TypeError):
            pickle.dumps(ix)  # two objects sharing a handle would free it twice
        ix.close()
        with self.assertRaisesRegex(ValueError, "closed"):
            ix.assign(["A"], 1)


def run_python(code, env_extra, pythonpath):
    env = dict(os.environ, PYTHONPATH=pythonpath, **env_extra)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


class Loader(unittest.TestCase):
    def test_version_is_the_headers(self):
        with open(HEADER, encoding="ascii") as f:
            text = f.read()
        parts = [re.search(r"#define VELMORA_VERSION_%s\s+(\d+)" % p, text).group(1)
                 for p in ("MAJOR", "MINOR", "PATCH")]
        self.assertEqual(velmora.__version__, ".".join(parts))

    def test_missing_library_is_reported_with_the_path(self):
        bogus = os.path.join(tempfile.gettempdir(), "no-such-dir", "libvelmora.so.0")
        r = run_python("import velmora; velmora.edit_distance('A', 'C')",
                       {"VELMORA_LIBRARY": bogus}, os.path.dirname(PACKAGE))
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("LibraryNotFoundError", r.stderr)
        self.assertIn(bogus, r.stderr)


if __name__ == "__main__":
    unittest.main()
