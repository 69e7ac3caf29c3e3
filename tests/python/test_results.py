"""The binding's records equal the naive definitions on randomized batches
(which also makes them equal to the C calls: a wrong argument order, length
array or field mapping in the binding shows up as a mismatch)."""

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
    if kind == 1:
        return bytearray(s)
    if kind == 2:
        return memoryview(s)
    return s


class Differential(unittest.TestCase):
    ROUNDS = 3

    def rounds(self):
        for r in range(self.ROUNDS):
            gen = Generator(seed() * 1000 + r)
            refs = gen.references(gen.rnd.choice([0, 1, 40]))
            yield gen, refs

    def test_edit_assignment_and_brute_force(self):
        for gen, refs in self.rounds():
            queries = gen.queries(refs, 50)
            dist = [[levenshtein(q, r) for r in refs] for q in queries]
            with velmora.Index([as_input(gen, r) for r in refs]) as index:
                self.assertEqual(len(index), len(refs))
                for k in range(4):
                    want = [record(row, k)[:5] for row in dist]
                    got = index.assign([as_input(gen, q) for q in queries], k)
                    self.assertEqual([as_tuple(m) for m in got], want, "assign k=%d" % k)
                    got, stats = index.assign(queries, k, with_stats=True)
                    self.assertEqual([as_tuple(m) for m in got], want)
                    self.assertIsInstance(stats, velmora.Stats)
                    brute = velmora.match_many(queries, refs, k)
                    self.assertEqual([as_tuple(m) for m in brute], want, "match_many k=%d" % k)
                    # Outside k = 1 and 2 the status-only form is the full one.
                    if k in (0, 3):
                        self.assertEqual(index.assign_status(queries, k), got)
                    # For k = 1 and encodable queries (A/C/G/T, at most 32
                    # bytes) it keeps status and best distance; best_index is
                    # a reference at that distance, not always the lowest.
                    if k == 1:
                        rows = [i for i, q in enumerate(queries)
                                if len(q) <= 32 and set(q) <= set(b"ACGT")]
                        part = index.assign_status([queries[i] for i in rows], 1)
                        for i, m in zip(rows, part):
                            full = got[i]
                            self.assertEqual((m.status, m.best_distance),
                                             (full.status, full.best_distance), queries[i])
                            if m.best_index is not None:
                                self.assertEqual(dist[i][m.best_index], m.best_distance)

    def test_hits_and_build_options(self):
        # hits lists exactly the references the record counts, ordered by
        # (distance, index); every table choice gives the same records.
        metrics = [(velmora.Metric.EDIT, levenshtein, range(4)),
                   (velmora.Metric.HAMMING, hamming, range(4))]
        for gen, refs in self.rounds():
            queries = gen.queries(refs, 25)
            want = {(metric, k, q): sorted((d, i) for i, d in enumerate(dist(q, r) for r in refs)
                                           if d is not None and d <= k)
                    for metric, dist, ks in metrics for k in ks for q in queries}
            with velmora.Index(refs) as full:
                records = (full.assign(queries, 1), full.assign_hamming(queries, 2))
            for tables in ({}, {"deletion_table": False}, {"piece_table": False},
                           {"deletion_table": False, "piece_table": False}):
                with velmora.Index(refs, **tables) as index:
                    for (metric, k, q), hits in want.items():
                        got = index.hits(q, k, metric)
                        self.assertEqual([(h.distance, h.index) for h in got], hits,
                                         (q, k, metric, tables))
                    self.assertEqual((index.assign(queries, 1), index.assign_hamming(queries, 2)),
                                     records, tables)

    def test_assign_many_edit_class(self):
        classes = {0: "EXACT", 2: "TWO"}
        for gen, refs in self.rounds():
            queries = gen.queries(refs, 30)
            dist = [[levenshtein(q, r) for r in refs] for q in queries]
            for k in (1, 3):
                for single in (False, True):
                    got = velmora.assign_many(queries, refs, k, require_single_hit=single)
                    for q, row, a in zip(queries, dist, got):
                        best_index, best, second, hits, status, at_best = record(row, k)
                        if single and hits > 1:
                            status = "AMBIGUOUS"
                        if best is None:
                            cls = "NONE"
                        elif best == 1:
                            rl = len(refs[best_index])
                            cls = ("SUBSTITUTION" if len(q) == rl else
                                   "INSERTION" if len(q) > rl else "DELETION")
                        else:
                            cls = classes.get(best, "OTHER")
                        self.assertEqual(
                            (a.best_index, a.best_distance, a.second_distance, a.best_count,
                             a.hit_count, a.status.name, a.edit_class.name),
                            (best_index, best, second, at_best, hits, status, cls))

    def test_hamming_assignment(self):
        for gen, refs in self.rounds():
            queries = gen.queries(refs, 60, substitutions_only=True)
            dist = [[hamming(q, r) for r in refs] for q in queries]
            with velmora.Index(refs) as index:
                for k in range(4):
                    want = [record(row, k)[:5] for row in dist]
                    got = index.assign_hamming(queries, k)
                    self.assertEqual([as_tuple(m) for m in got], want, "hamming k=%d" % k)

    def test_exact_lookup(self):
        for gen, refs in self.rounds():
            # Case variants of the references exercise the folding lookup.
            queries = gen.queries(refs, 40, noise=0) + [r.lower() for r in refs[:10]]
            with velmora.Index(refs) as index:
                for ignore_case in (False, True):
                    key = fold if ignore_case else (lambda s: s)
                    want = [record([0 if key(q) == key(r) else None for r in refs], 0)[:5]
                            for q in queries]
                    got = index.lookup_exact(queries, ignore_case=ignore_case)
                    self.assertEqual([as_tuple(m) for m in got], want)

    def test_pairwise_distances(self):
        gen = Generator(seed())
        for _ in range(300):
            a = gen.seq(gen.length(), noise=10)
            b = gen.mutate(a, gen.rnd.randrange(0, 5), noise=10) if gen.rnd.randrange(2) \
                else gen.seq(gen.length(), noise=10)
            d = levenshtein(a, b)
            self.assertEqual(velmora.edit_distance(a, b), d, (a, b))
            for k in (d - 1, d, d + 1):
                self.assertEqual(velmora.edit_distance_leq(a, b, k), d <= k, (a, b, k))


class Records(unittest.TestCase):
    def test_record_types(self):
        with velmora.Index(["ACGT", "ACGT", "TTTT"]) as index:
            (m,) = index.assign(["ACGT"], 1)
            self.assertIsInstance(m, velmora.Match)
            self.assertIs(m.status, velmora.Status.AMBIGUOUS)
            self.assertEqual(m._asdict(), {"best_index": 0, "best_distance": 0,
                                           "second_distance": None, "hit_count": 2,
                                           "status": velmora.Status.AMBIGUOUS})
            (none,) = index.assign(["GGGGGGGG"], 1)
            self.assertEqual(as_tuple(none), (None, None, None, 0, "NONE"))

    def test_empty_batches(self):
        with velmora.Index([]) as empty, velmora.Index(["ACGT"]) as index:
            for ix in (empty, index):
                self.assertEqual(ix.assign([], 1), [])
                self.assertEqual(ix.assign_hamming([], 0, with_stats=True), ([], (0, 0)))
                self.assertEqual(ix.lookup_exact([], ignore_case=True), [])
            self.assertEqual([as_tuple(m) for m in empty.assign(["", "A"], 2)],
                             [(None, None, None, 0, "NONE")] * 2)
        self.assertEqual(velmora.match_many([], ["A"], 1), [])
        self.assertEqual(velmora.assign_many([], [], 1), [])

    def test_stats_counted(self):
        # Identical references are counted from the table: both counters 2.
        with velmora.Index(["ACGT", "TTTT", "ACGT"]) as index:
            _, stats = index.lookup_exact(["ACGT"], with_stats=True)
            self.assertEqual(stats, velmora.Stats(2, 2))

    def test_alphabet_policy(self):
        self.assertIn("literal-byte", velmora.alphabet_policy())


if __name__ == "__main__":
    unittest.main()
