"""velmora.fastq against the velmora tool on the demo data (byte-identical
tables), and the reader's contract: record boundaries, gzip, bad records."""

import gzip
import json
import os
import tempfile
import unittest

from oracle import READS, TOOL, WHITELIST, at_once, read, run_tool
from velmora import fastq

# (tool flags, the same as velmora.fastq options)
RUNS = [
    (["--max-edits", "1"], {"max_edits": 1}),
    (["--max-edits", "1", "--no-rescue", "--fixed-window"],
     {"max_edits": 1, "no_rescue": True, "fixed_window": True}),
    (["--max-edits", "2", "--min-exact", "2", "--prior-pseudocount", "0.5",
      "--min-posterior", "0.9", "--indel-weight", "0.2"],
     {"max_edits": 2, "min_exact": 2, "prior_pseudocount": 0.5, "min_posterior": 0.9,
      "indel_weight": 0.2}),
    (["--max-mismatches", "1"], {"max_mismatches": 1}),
]


# The outputs compared: the tool's flag and velmora.fastq's argument.
OUTPUTS = [("--summary", "summary", "summary.json"), ("--counts", "counts", "counts.tsv"),
           ("--knee-plot", "knee_plot", "knee.svg"), ("--cells", "cells", "cells.txt")]

# Fields of the summary that measure time, not the run.
TIMING = ("wall_seconds", "cpu_seconds", "reads_per_second", "index_build_seconds")


def read_output(path):
    data = read(path)
    if path.endswith(".json"):
        report = json.loads(data)
        for key in TIMING:
            report.pop(key)
        return report
    return data


def fastq_text(records):
    return b"".join(b"@%s extra\n%s\n+\n%s\n" % r for r in records)


class AgreesWithTheTool(unittest.TestCase):
    """assign_file's outputs are the tool's, byte for byte (a gzip output of
    read structures once decompressed: its members are the batches',
    whatever compresses them)."""

    def assertSameOutputs(self, tool, py, decompress=False):
        for a, b in zip(tool, py):
            x, y = read_output(a), read_output(b)
            if decompress and b.endswith(".gz"):
                x, y = gzip.decompress(x), gzip.decompress(y)
            if x == y or not isinstance(x, bytes):
                self.assertEqual(x, y, b)
                continue
            lx, ly = x.split(b"\n"), y.split(b"\n")
            at = next((i for i, (p, q) in enumerate(zip(lx, ly)) if p != q), min(len(lx), len(ly)))
            self.fail("%s: line %d differs (%d and %d lines): %r against %r" % (
                b, at + 1, len(lx), len(ly), lx[at:at + 1], ly[at:at + 1]))

    @unittest.skipUnless(TOOL and os.path.exists(TOOL), "velmora tool not built")
    def test_same_outputs_as_the_tool(self):
        with tempfile.TemporaryDirectory() as tmp:
            for i, (flags, opts) in enumerate(RUNS):
                with self.subTest(flags=" ".join(flags)):
                    names = ["table%d.tsv%s" % (i, ".gz" if i == 0 else "")] + [o[2] for o in OUTPUTS]
                    tool, py = ([os.path.join(tmp, who + "-" + n) for n in names] for who in ("tool", "py"))
                    args = ["--whitelist", WHITELIST, "--reads", READS, "--barcode-length", "16",
                            "--threads", "2", "--out", tool[0]]
                    for (flag, _, _), path in zip(OUTPUTS, tool[1:]):
                        args += [flag, path]
                    run_tool(self, args + flags)
                    opts = dict(opts, **{o[1]: path for o, path in zip(OUTPUTS, py[1:])})
                    summary = fastq.assign_file(READS, WHITELIST, py[0], barcode_length=16,
                                                threads=2, **opts)
                    self.assertEqual(summary.reads, 20000)
                    self.assertSameOutputs(tool, py)

    @unittest.skipUnless(TOOL and os.path.exists(TOOL), "velmora tool not built")
    def test_paired_lanes_same_outputs_as_the_tool(self):
        with tempfile.TemporaryDirectory() as tmp:
            # Read 2 beside the demo reads, in two lanes; the cell split in
            # two segments of the whitelist's halves.
            with gzip.open(READS, "rt") as f:
                lines = f.read().split("\n")
            lanes = []
            for lane, (lo, hi) in enumerate(((0, 12000), (12000, 20000))):
                r1 = os.path.join(tmp, "L%d_R1.fq" % lane)
                r2 = os.path.join(tmp, "L%d_R2.fq.gz" % lane)
                with open(r1, "w") as a, gzip.open(r2, "wt") as b:
                    for i in range(lo, hi):
                        name = lines[4 * i].split(" ")[0]
                        a.write("\n".join(lines[4 * i:4 * i + 4]) + "\n")
                        b.write("%s/2\n%s\n+\n%s\n" % (name, "ACGT" * (i % 7 + 1), "I" * 4 * (i % 7 + 1)))
                lanes.append((r1, r2))
            halves = []
            with open(WHITELIST) as f:
                entries = [e.strip() for e in f if e.strip()]
            for n, (lo, hi) in enumerate(((0, 8), (8, 16))):
                path = os.path.join(tmp, "half%d.txt" % n)
                with open(path, "w") as f:
                    f.write("\n".join(sorted({e[lo:hi] for e in entries})) + "\n")
                halves.append(path)
            outs = ("t.tsv", "counts.tsv", "cells.txt", "r2.fq.gz")
            args = ["--read-structure", "8C8C12M", "--read-structure", "+T",
                    "--whitelist", halves[0], "--whitelist", halves[1], "--max-edits", "1,0",
                    "--threads", "2"]
            for lane in lanes:
                args += ["--reads", *lane]
            tool = [os.path.join(tmp, "tool-" + o) for o in outs]
            run_tool(self, args + ["--out", tool[0], "--counts", tool[1], "--cells", tool[2],
                                 "--out-fastq", tool[3]])
            py = [os.path.join(tmp, "py-" + o) for o in outs]
            summary = fastq.assign_file(lanes, halves, py[0], counts=py[1], cells=py[2],
                                        out_fastq=[py[3]], read_structure=["8C8C12M", "+T"],
                                        max_edits=[1, 0], threads=2)
            self.assertEqual(summary.reads, 20000)
            self.assertSameOutputs(tool, py, decompress=True)
            with open(py[0]) as f:
                self.assertTrue(f.readline().startswith("read\tstatus\tcell\tfailed_segment\t"))

    def test_template_outputs_and_segment_bounds_need_a_read_structure(self):
        for extra in ({"out_bam": "x.bam", "max_edits": 1}, {"max_edits": [1, 1]}):
            with self.assertRaises(ValueError):
                fastq.assign_file(READS, WHITELIST, None, **extra)


class Reader(unittest.TestCase):
    def test_boundaries_fall_on_records(self):
        # Quality lines starting with '@' and '+' must not be taken for
        # headers or separators.
        recs = [(b"r%d" % i, b"ACGT" * (i % 5 + 1), (b"@+" * 20)[:4 * (i % 5 + 1)])
                for i in range(200)]
        text = fastq_text(recs)
        starts = {0}
        for r in recs:
            starts.add(max(starts) + len(fastq_text([r])))
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "r.fq")
            with open(path, "wb") as f:
                f.write(text)
            for parts in (1, 2, 7, 50, 1000):
                cuts = fastq.record_boundaries(path, parts)
                self.assertEqual(cuts[0], 0)
                self.assertEqual(cuts[-1], len(text))
                self.assertEqual(cuts, sorted(set(cuts)))
                self.assertLessEqual(set(cuts), starts, parts)
                self.assertGreaterEqual(len(cuts), min(parts, 200) // 2, parts)
            gz = path + ".gz"
            with gzip.open(gz, "wb") as dst:
                dst.write(text)
            self.assertEqual(fastq.record_boundaries(gz, 4), [0, os.path.getsize(gz)])

    def test_bad_input_is_refused_naming_it(self):
        # What the command refuses, velmora.fastq refuses as DataError naming
        # the file (the reader's cases are pinned by the C++ suites).
        cases = [
            (b"ACGT\nACGT\n+\nIIII\n", "header line"),
            (b"@r\nACGT\n", "truncated"),
            (b"@r\nAC\tT\n+\nIIII\n", "byte 0x09"),
            (b"@r\n" + b"A" * 300 + b"\n+\n" + b"I" * 300 + b"\n", "longer than the limit"),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "bad.fq")
            wl = os.path.join(tmp, "wl.txt")
            with open(wl, "wb") as f:
                f.write(b"ACGT\n")
            for text, message in cases:
                with self.subTest(message=message):
                    with open(path, "wb") as f:
                        f.write(text)
                    with self.assertRaisesRegex(fastq.DataError, message) as caught:
                        fastq.assign_file(path, wl, os.path.join(tmp, "out.tsv"),
                                          max_edits=1, max_line_length=100)
                    self.assertIn(path, str(caught.exception))
                    self.assertFalse(os.path.exists(os.path.join(tmp, "out.tsv")))
            for listed, message in [(b"barcode,count\nACGT,3\n", "line 1: not a sequence"),
                                    (b"# nothing\n\n", "no entries")]:
                with self.subTest(message=message):
                    with open(wl, "wb") as f:
                        f.write(listed)
                    with self.assertRaisesRegex(fastq.DataError, message):
                        fastq.assign_file(path, wl, max_edits=1)

    def test_calls_writing_one_output_at_once(self):
        # Two calls in one process publishing the same table: each writes a
        # temporary of its own, so the table is whole whichever wins.
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "t.tsv")
            self.assertEqual(at_once(lambda: fastq.assign_file(
                READS, WHITELIST, out, max_edits=1, threads=2), 3), [])
            want = os.path.join(tmp, "want.tsv")
            fastq.assign_file(READS, WHITELIST, want, max_edits=1)
            with open(out, "rb") as a, open(want, "rb") as b:
                self.assertEqual(a.read(), b.read())
            self.assertEqual(sorted(os.listdir(tmp)), ["t.tsv", "want.tsv"])


if __name__ == "__main__":
    unittest.main()
