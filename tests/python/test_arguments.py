"""Bad arguments raise TypeError or ValueError, before any C call, with a
message naming the argument."""

import unittest

import velmora


class BadArguments(unittest.TestCase):
    def setUp(self):
        self.index = velmora.Index(["ACGT", "ACGA"])

    def tearDown(self):
        self.index.close()

    def test_table(self):
        ix = self.index
        cases = [
            # (call, exception, text the message must contain)
            (lambda: velmora.Index("ACGT"), TypeError, "single str"),
            (lambda: velmora.Index(b"ACGT"), TypeError, "single bytes"),
            (lambda: velmora.Index(None), TypeError, "iterable"),
            (lambda: velmora.Index(["ACGT", 7]), TypeError, "references[1]"),
            (lambda: velmora.Index(["ACGT", None]), TypeError, "references[1]"),
            (lambda: velmora.Index(["AC\u00e9"]), ValueError, "ASCII"),
            (lambda: ix.assign("ACGT", 1), TypeError, "single str"),
            (lambda: ix.assign([b"A", 3.5], 1), TypeError, "queries[1]"),
            (lambda: ix.assign(["A"], -1), ValueError, "k must be between 0"),
            (lambda: ix.assign(["A"], 2 ** 31), ValueError, "k must be between 0"),
            (lambda: ix.assign(["A"], 1.0), TypeError, "k must be an int"),
            (lambda: ix.assign(["A"], "1"), TypeError, "k must be an int"),
            (lambda: ix.assign(["A"], True), TypeError, "not bool"),
            (lambda: ix.assign_status(["A"], -2), ValueError, "k must be between 0"),
            (lambda: ix.assign_hamming(["A"], 4), ValueError, "between 0 and 3"),
            (lambda: ix.assign_hamming(["A"], -1), ValueError, "between 0 and 3"),
            (lambda: ix.lookup_exact(["A"], ignore_case="yes"), TypeError, "ignore_case"),
            (lambda: velmora.match_many(["A"], "ACGT", 1), TypeError, "references"),
            (lambda: velmora.match_many(["A"], ["A"], -1), ValueError, "k must be between 0"),
            (lambda: velmora.assign_many(["A"], ["A"], 1, require_single_hit=2), TypeError,
             "require_single_hit"),
            (lambda: velmora.edit_distance("A", None), TypeError, "b must be str or bytes"),
            (lambda: velmora.edit_distance(1, "A"), TypeError, "a must be str or bytes"),
            (lambda: velmora.edit_distance("\u00e9", "A"), ValueError, "ASCII"),
            (lambda: velmora.edit_distance_leq("A", "A", 2 ** 31), ValueError, "k must be"),
            (lambda: velmora.Index(["A"], piece_table=0), TypeError, "piece_table"),
            (lambda: ix.hits(["A"], 1), TypeError, "query must be str or bytes"),
            (lambda: ix.hits("A", 4, velmora.Metric.HAMMING), ValueError, "between 0 and 3"),
            (lambda: ix.hits("A", -1), ValueError, "k must be between 0"),
            (lambda: ix.hits("A", 1, 7), ValueError, "metric"),
            (lambda: ix.rescue("ACGT", "II", 4, None, velmora.RescueParams.default(
                rescue=False)), ValueError, "quals must be as long"),
            (lambda: ix.rescue("ACGT", None, 5, None, velmora.RescueParams.default(
                rescue=False)), ValueError, "window_len"),
            (lambda: ix.rescue("ACGT", None, 4, None, velmora.RescueParams.default()),
             ValueError, "exact_counts is required"),
            (lambda: ix.rescue("ACGT", None, 4, velmora.CountArray(3),
                               velmora.RescueParams.default()), ValueError, "len(index)"),
            (lambda: ix.rescue("ACGT", None, 4, None, {}), TypeError, "RescueParams"),
        ]
        for i, (call, exc, text) in enumerate(cases):
            with self.subTest(case=i, expect=exc.__name__, text=text):
                with self.assertRaises(exc) as ctx:
                    call()
                self.assertIn(text, str(ctx.exception))

    def test_negative_k_for_bounded_test_is_false(self):
        # The bounded test answers "no" for every negative k, as in C.
        self.assertFalse(velmora.edit_distance_leq("", "", -1))

    def test_accepted_sequence_types_agree(self):
        forms = [["ACGT", "acgN"], [b"ACGT", b"acgN"], [bytearray(b"ACGT"), memoryview(b"acgN")],
                 ("ACGT", "acgN"), (s for s in ["ACGT", "acgN"])]
        results = [self.index.assign(f, 1) for f in forms]
        for r in results[1:]:
            self.assertEqual(r, results[0])
        self.assertEqual(velmora.edit_distance(b"\x00\xff", bytearray(b"\x00\xfe")), 1)


if __name__ == "__main__":
    unittest.main()
