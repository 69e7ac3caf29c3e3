"""An index is freed exactly once, whatever the caller does with the Python
object; a closed index refuses further use."""

import copy
import gc
import pickle
import unittest

import velmora
from velmora import _native


class CountingFree:
    """Stands in for vorn_index_free and records the handles it gets."""

    def __init__(self, real):
        self.real = real
        self.handles = []

    def __call__(self, handle):
        self.handles.append(handle)
        self.real(handle)


class Lifecycle(unittest.TestCase):
    def setUp(self):
        self.lib = _native.lib()
        self.real_free = self.lib.vorn_index_free
        self.free = CountingFree(self.real_free)
        self.lib.vorn_index_free = self.free

    def tearDown(self):
        self.lib.vorn_index_free = self.real_free

    def test_freed_once(self):
        def close_twice(ix):
            ix.close()
            ix.close()

        def with_block_then_close(ix):
            with ix:
                pass
            ix.close()

        def drop(ix):
            pass

        for how in (close_twice, with_block_then_close, drop):
            with self.subTest(how=how.__name__):
                self.free.handles.clear()
                ix = velmora.Index(["ACGT", "TTTT"])
                handle = ix._handle
                how(ix)
                del ix
                gc.collect()
                self.assertEqual(self.free.handles, [handle])

    def test_failed_construction_frees_nothing(self):
        self.free.handles.clear()
        with self.assertRaises(TypeError):
            velmora.Index(["ACGT", 5])
        gc.collect()
        self.assertEqual(self.free.handles, [])

    def test_copies_refused(self):
        # Two objects sharing one handle would free it twice.
        with velmora.Index(["ACGT"]) as ix:
            for dup in (copy.copy, copy.deepcopy, pickle.dumps):
                with self.subTest(dup=dup.__name__):
                    with self.assertRaises(TypeError):
                        dup(ix)

    def test_closed_index_refuses_use(self):
        ix = velmora.Index(["ACGT"])
        ix.close()
        self.assertTrue(ix.closed)
        for call in (lambda: ix.assign(["A"], 1), lambda: ix.assign_hamming(["A"], 1),
                     lambda: ix.lookup_exact(["A"]), lambda: ix.assign_status(["A"], 1)):
            with self.assertRaisesRegex(ValueError, "closed"):
                call()
        with self.assertRaises(ValueError):
            with ix:
                pass


if __name__ == "__main__":
    unittest.main()
