"""The binding's records equal the naive definitions on randomized batches
(so they equal the C calls too: a wrong argument order, length array or
field mapping in the binding shows up as a mismatch)."""

import unittest

import velmora
from oracle import Generator, fold, hamming, levenshtein, record, seed


def as_tuple(m):
    return (m.best_index, m.best_distance, m.second_distance, m.hit_count, m.status.name)


def as_input(gen, s):
    """The same sequence in one of the accepted Python types."""
    kind = gen.rnd.randrange(4)
    if kind == 0 and all(c < 128 for c in s):
        return s.decode("ascii")
    return (bytearray, memoryview, bytes)[kind % 3](s)


class Differential(unittest.TestCase):
    def test_every_call_against_the_definitions(self):
        for r in range(3):
            gen = Generator(seed() * 1000 + r)
            refs = gen.references(gen.rnd.choice([0, 1, 40]))
            queries = gen.queries(refs, 40) + [x.lower() for x in refs[:5]]
            edit = [[levenshtein(q, x) for x in refs] for q in queries]
            ham = [[hamming(q, x) for x in refs] for q in queries]
            with velmora.Index([as_input(gen, x) for x in refs], deletion_table=r != 1,
                               piece_table=r != 2) as index:
                self.assertEqual(len(index), len(refs))
                for k in range(4):
                    want = [record(row, k)[:5] for row in edit]
                    got, stats = index.assign([as_input(gen, q) for q in queries], k, with_stats=True)
                    self.assertEqual([as_tuple(m) for m in got], want, "assign k=%d" % k)
                    self.assertIsInstance(stats, velmora.Stats)
                    self.assertEqual([as_tuple(m) for m in velmora.match_many(queries, refs, k)], want)
                    if k in (0, 3):  # the status-only form is the full one here
                        self.assertEqual(index.assign_status(queries, k), got)
                    self.assertEqual([as_tuple(m) for m in index.assign_hamming(queries, k)],
                                     [record(row, k)[:5] for row in ham], "hamming k=%d" % k)
                    for i, q in enumerate(queries[:10]):
                        for metric, row in ((velmora.Metric.EDIT, edit[i]), (velmora.Metric.HAMMING, ham[i])):
                            self.assertEqual([(h.distance, h.index) for h in index.hits(q, k, metric)],
                                             sorted((d, j) for j, d in enumerate(row)
                                                    if d is not None and d <= k))
                for ignore_case in (False, True):
                    key = fold if ignore_case else (lambda s: s)
                    want = [record([0 if key(q) == key(x) else None for x in refs], 0)[:5] for q in queries]
                    self.assertEqual([as_tuple(m) for m in index.lookup_exact(queries, ignore_case=ignore_case)],
                                     want)
            for q, row, a in zip(queries, edit, velmora.assign_many(queries, refs, 2, require_single_hit=True)):
                best_index, best, second, hits, status, at_best = record(row, 2)
                self.assertEqual((a.best_index, a.best_distance, a.second_distance, a.best_count, a.hit_count,
                                  a.status.name),
                                 (best_index, best, second, at_best, hits, "AMBIGUOUS" if hits > 1 else status))
            for a, b in zip(queries, queries[1:]):
                d = levenshtein(a, b)
                self.assertEqual(velmora.edit_distance(a, b), d, (a, b))
                self.assertEqual([velmora.edit_distance_leq(a, b, k) for k in (d - 1, d)], [False, True])


class Records(unittest.TestCase):
    def test_record_types_and_empty_batches(self):
        with velmora.Index(["ACGT", "ACGT", "TTTT"]) as index, velmora.Index([]) as empty:
            (m,) = index.assign(["ACGT"], 1)
            self.assertIsInstance(m, velmora.Match)
            self.assertEqual(m._asdict(), {"best_index": 0, "best_distance": 0,
                                           "second_distance": None, "hit_count": 2,
                                           "status": velmora.Status.AMBIGUOUS})
            (a,) = velmora.assign_many(["ACGA"], ["ACGT"], 1)
            self.assertIs(a.edit_class, velmora.EditClass.SUBSTITUTION)
            _, stats = index.lookup_exact(["ACGT"], with_stats=True)
            self.assertEqual(stats, velmora.Stats(2, 2))
            for ix in (empty, index):
                self.assertEqual(ix.assign([], 1), [])
                self.assertEqual(ix.assign_hamming([], 0, with_stats=True), ([], (0, 0)))
            self.assertEqual([as_tuple(m) for m in empty.assign(["", "A"], 2)],
                             [(None, None, None, 0, "NONE")] * 2)
        self.assertEqual(velmora.match_many([], ["A"], 1), [])
        self.assertIn("literal-byte", velmora.alphabet_policy())


if __name__ == "__main__":
    unittest.main()
