"""The simulator writes what its truth says; the evaluator scores by it."""

import io
import os
import random
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))

import evaluate_run  # noqa: E402
import simulate_run  # noqa: E402


def hamming(a, b):
    return sum(x != y for x, y in zip(a, b))


class Simulator(unittest.TestCase):
    def run_sim(self, seed):
        args = simulate_run.build_parser().parse_args([
            "--synthetic-whitelist", "300", "--reads-out", "-", "--truth-out", "-", "--reads", "600",
            "--cells", "20", "--ambient-barcodes", "40", "--ambient-fraction", "0.3", "--seed", str(seed),
            "--mix", "exact=1,sub1=1,del=1,ins=1,n=1,sub2=1", "--uncalibrated", "0.5"])
        wl = simulate_run.synthetic_whitelist(random.Random(seed), 300, 16)
        reads, truth = io.StringIO(), io.StringIO()
        simulate_run.simulate(args, wl, reads, truth)
        return wl, reads.getvalue(), truth.getvalue()

    def test_every_read_carries_its_recorded_error(self):
        wl, reads, truth = self.run_sim(5)
        self.assertEqual((wl, reads, truth), self.run_sim(5))
        self.assertNotEqual(reads, self.run_sim(6)[1])
        entries = set(wl)
        for e in wl:  # nothing within one substitution of another entry
            self.assertFalse(any(e[:i] + b + e[i + 1:] in entries
                                 for i in range(16) for b in "ACGT" if b != e[i]))
        lines = reads.splitlines()
        rows = [r.split("\t") for r in truth.splitlines()[1:]]
        self.assertEqual(len(rows), 600)
        seen = set()
        for i, (name, bc, kind, origin, pos) in enumerate(rows):
            head, seq, _, qual = lines[4 * i: 4 * i + 4]
            self.assertEqual(head.split()[0], "@" + name)
            self.assertEqual((len(seq), len(qual)), (28, 28))
            self.assertIn(bc, entries)
            seen.add((kind, origin))
            w = seq[:16]
            p = [int(x) for x in pos.split(",")] if pos != "-" else []
            if kind == "exact":
                self.assertEqual(w, bc)
            elif kind in ("sub1", "sub2"):
                self.assertEqual(hamming(w, bc), len(p))
                self.assertEqual([j for j in range(16) if w[j] != bc[j]], p)
            elif kind == "n":
                self.assertEqual(w, bc[:p[0]] + "N" + bc[p[0] + 1:])
                self.assertEqual(qual[p[0]], "#")
            elif kind == "del":
                self.assertEqual(w[:15], bc[:p[0]] + bc[p[0] + 1:])
            else:
                self.assertGreater(p[0], 0)
                self.assertEqual(w[:p[0]] + w[p[0] + 1:], bc[:15])
        self.assertEqual(len(seen), 12)  # every class from cells and ambient alike


TRUTH = """read\tbarcode\terror\torigin\tpositions
r1\tAAAA\texact\tcell\t-
r2\tCCCC\tsub1\tcell\t2
r3\tGGGG\tsub1\tcell\t0
r4\tTTTT\tdel\tcell\t1
r5\tACGT\tsub1\tambient\t3
r6\tTGCA\tn\tambient\t0
"""
# r1 and r6 right, r3 and r5 wrong, r2 and r4 unassigned.
NEW = ("read\tobserved\tstatus\tassigned\tdistance\tsecond_distance\thits\tposterior\tcandidates\n"
       "r4\tTTTA\tnone\t-\t-\t-\t0\t-\t-\nr1\tAAAA\tunique\tAAAA\t0\t-\t1\t1\t-\n"
       "r2\tCCCA\tambiguous\t-\t1\t1\t2\t0.5\tCCCC,CCCG\nr3\tGGGA\tunique\tGGGC\t1\t-\t1\t0.99\tGGGC\n"
       "r5\tACGA\tunique\tACGA\t0\t-\t1\t1\t-\nr6\tNGCA\tunique\tTGCA\t1\t-\t1\t1\t-\n")
OLD = "\n".join("\t".join(line.split("\t")[:7]) for line in NEW.splitlines()[1:]) + "\n"


class Evaluator(unittest.TestCase):
    def score(self, assignments):
        with tempfile.TemporaryDirectory() as d:
            paths = []
            for name, text in (("t.tsv", TRUTH), ("a.tsv", assignments)):
                paths.append(os.path.join(d, name))
                with open(paths[-1], "w") as f:
                    f.write(text)
            return evaluate_run.tally(evaluate_run.read_truth(paths[0]), evaluate_run.read_assignments(paths[1]))

    def test_header_and_headerless_output_score_alike(self):
        for text in (NEW, OLD):
            c = self.score(text)
            self.assertEqual(c[("cell", "exact")], [1, 1, 0])
            self.assertEqual(c[("cell", "sub1")], [2, 0, 1])
            self.assertEqual(c[("cell", "del")], [1, 0, 0])
            self.assertEqual(c[("ambient", "sub1")], [1, 0, 1])
            self.assertEqual(c[("ambient", "n")], [1, 1, 0])
            self.assertEqual(evaluate_run.wrong_of_assigned(c), (2, 4))
            table = evaluate_run.accuracy_table(c, "cell")
            self.assertIn("| one substitution | 2 | 0.00% | 50.00% | 50.00% |", table)
            self.assertIn("| **all** | 4 | 25.00% | 25.00% | 50.00% |", table)

    def test_a_read_missing_or_doubled_is_an_error(self):
        for text in (NEW.replace("r6\t", "r7\t"), NEW + "r6\tNGCA\tunique\tTGCA\t1\t-\t1\t1\t-\n",
                     "\n".join(NEW.splitlines()[:-1]) + "\n"):
            with self.assertRaises(evaluate_run.InputError):
                self.score(text)


if __name__ == "__main__":
    unittest.main()
