"""The tool, velmora.fastq and velmora.dask (a LocalCluster of two worker
processes) on the same messy inputs: every output byte the same, whether a
file is one task or cut into byte ranges, with pooled and per-file priors.
And how a Dask call fails: before any work when it can, naming the file,
leaving nothing behind."""

import gzip
import os
import shutil
import tempfile
import unittest

from oracle import READS, TOOL, WHITELIST, at_once, read, run_tool
from velmora import fastq

try:
    import distributed
    from velmora import dask as vdask
except ImportError:
    distributed = None

# (tool flags, the same as options)
RUNS = [
    (["--max-edits", "1"], {"max_edits": 1}),
    (["--max-edits", "2", "--no-rescue"], {"max_edits": 2, "no_rescue": True}),
    (["--max-mismatches", "1"], {"max_mismatches": 1}),
]


def messy_inputs(tmp):
    """A whitelist with a repeated entry, the same entry in lower case,
    comments, blank lines and CRLF; two lanes of reads with N, lower-case
    bases and reads shorter than the window, the first gzip in several
    members, the second plain."""
    entries = read(WHITELIST).split()
    listed = [b"# barcodes", b""] + entries + [entries[3], entries[5].lower() + b"\r"]
    wl = os.path.join(tmp, "wl.txt")
    with open(wl, "wb") as f:
        f.write(b"\n".join(listed) + b"\n")
    with gzip.open(READS) as f:
        lines = f.read().split(b"\n")
    records = [lines[i:i + 4] for i in range(0, len(lines) - 3, 4)][:6000]
    out = []
    for i, (head, seq, sep, qual) in enumerate(records):
        if i % 97 == 0:
            seq, qual = seq[:10], qual[:10]          # shorter than the window
        elif i % 31 == 0:
            seq = seq[:5] + b"N" + seq[6:]
        elif i % 29 == 0:
            seq = seq[:8].lower() + seq[8:]
        out.append(b"\n".join((head, seq, sep, qual)) + b"\n")
    lane1 = os.path.join(tmp, "lane1.fastq.gz")
    with open(lane1, "wb") as f:
        for k in range(0, 3000, 1000):  # three gzip members
            f.write(gzip.compress(b"".join(out[k:k + 1000])))
    lane2 = os.path.join(tmp, "lane2.fq")
    with open(lane2, "wb") as f:
        f.write(b"".join(out[3000:]))
    return wl, [lane1, lane2]


@unittest.skipIf(distributed is None, "SKIPPED: dask/distributed not installed")
class OnLocalCluster(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                               processes=True, dashboard_address=None)
        cls.client = distributed.Client(cls.cluster)
        cls.tmp = tempfile.mkdtemp()
        cls.wl, cls.lanes = messy_inputs(cls.tmp)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.cluster.close()
        shutil.rmtree(cls.tmp)

    def tool(self, flags, reads, out):
        if not (TOOL and os.path.exists(TOOL)):
            return None
        run_tool(self, ["--whitelist", self.wl, "--out", out] + flags + [a for r in reads for a in ("--reads", r)])
        return read(out)

    def test_tool_fastq_and_dask_agree(self):
        # Both lanes are cut: the plain one by bytes, the gzip one (with the
        # rescue) by records.
        size = min(map(os.path.getsize, self.lanes))
        for flags, opts in RUNS:
            for pooled in (False, True):
                with self.subTest(flags=" ".join(flags), pooled=pooled):
                    d = tempfile.mkdtemp(dir=self.tmp)
                    got = vdask.assign_files(self.lanes, self.wl, self.client, out_dir=d,
                                             chunk_bytes=size // 4, pool_prior=pooled, **opts)
                    tables = [read(g["out"]) for g in got]
                    # No part files, only the tables.
                    self.assertEqual(sorted(os.listdir(d)),
                                     ["lane1.velmora.tsv", "lane2.velmora.tsv"])
                    # Pooled, the lanes are one run whose table the two parts make.
                    runs = ([(self.lanes, tables[0] + tables[1].split(b"\n", 1)[1],
                              got[0]["summary"] + got[1]["summary"])] if pooled else
                            [([lane], t, g["summary"]) for lane, t, g in zip(self.lanes, tables, got)])
                    for reads, table, summary in runs:
                        want = os.path.join(d, "want.tsv")
                        self.assertEqual(fastq.assign_file(reads, self.wl, want, **opts), summary)
                        self.assertEqual(table, read(want))
                        tool = self.tool(flags, reads, os.path.join(d, "tool.tsv"))
                        if tool is not None:
                            self.assertEqual(tool, table)
        # Every worker built each index it needed once over all the calls.
        info = self.client.run(vdask.cache_info)
        self.assertTrue(all(i["builds"] <= 3 for i in info.values()), info)

    def test_paired_lanes_as_one_task(self):
        # Read 2 beside each lane: the run on a worker is the command's run.
        d = tempfile.mkdtemp(dir=self.tmp)
        lanes = []
        for n, lane in enumerate(self.lanes):
            opener = gzip.open if lane.endswith(".gz") else open
            with opener(lane, "rb") as f:
                lines = f.read().split(b"\n")
            r2 = os.path.join(d, "r2_%d.fq" % n)
            with open(r2, "wb") as f:
                for i in range(0, len(lines) - 3, 4):
                    f.write(lines[i].split(b" ")[0] + b"\nACGTTGCA\n+\nIIIIIIII\n")
            lanes.append((lane, r2))
        want, got = os.path.join(d, "want.tsv"), os.path.join(d, "got.tsv")
        opts = {"read_structure": ["16C12M", "+T"], "max_edits": 1}
        s = fastq.assign_file(lanes, self.wl, want, out_fastq=[want + ".fq"], **opts)
        g = vdask.assign_lanes(lanes, self.wl, got, self.client, out_fastq=[got + ".fq"], **opts)
        self.assertEqual(g, s)
        self.assertEqual(read(got), read(want))
        self.assertEqual(read(got + ".fq"), read(want + ".fq"))
        with self.assertRaises(ValueError):
            vdask.assign_lanes(lanes, self.wl, got, self.client, read_structure=[], max_edits=1)

    def test_calls_writing_the_same_outputs_at_once(self):
        d = os.path.join(self.tmp, "same")
        size = os.path.getsize(self.lanes[1])
        self.assertEqual(at_once(lambda: vdask.assign_files(
            self.lanes[1:], self.wl, self.client, out_dir=d, chunk_bytes=size // 3,
            max_edits=1), 2), [])
        want = os.path.join(self.tmp, "same-want.tsv")
        fastq.assign_file(self.lanes[1], self.wl, want, max_edits=1)
        self.assertEqual(read(os.path.join(d, "lane2.velmora.tsv")), read(want))
        self.assertEqual(os.listdir(d), ["lane2.velmora.tsv"])

    def test_failures(self):
        bad = os.path.join(self.tmp, "bad.fq")
        with open(self.lanes[1], "rb") as f:
            text = f.read()
        # A damaged record far into the file: its shard fails after the
        # others have written their parts.
        cut = len(text) * 3 // 4
        cut = text.index(b"\n@", cut) + 1
        with open(bad, "wb") as f:
            f.write(text[:cut] + b"garbage\n" + text[cut:])
        missing = os.path.join(self.tmp, "nowhere.fq")
        cases = [
            ([missing], missing, fastq.DataError),
            ([self.lanes[0], bad], bad, fastq.DataError),
        ]
        for paths, named, error in cases:
            with self.subTest(named=named):
                d = os.path.join(self.tmp, "fail-" + os.path.basename(named))
                with self.assertRaises(error) as caught:
                    vdask.assign_files(paths, self.wl, self.client, out_dir=d,
                                       chunk_bytes=len(text) // 5, max_edits=1)
                message = str(caught.exception)
                self.assertIn(named, message)
                self.assertNotIn("CGTAC", message)  # no whitelist bytes
                left = [n for n in os.listdir(d) if "velmora" in n and "lane1" not in n]
                self.assertEqual(left, [])
        # The output folder is created when missing, refused when it cannot be.
        nested = os.path.join(self.tmp, "a", "b")
        vdask.assign_files(self.lanes[:1], self.wl, self.client, out_dir=nested, max_edits=1)
        self.assertEqual(os.listdir(nested), ["lane1.velmora.tsv"])
        blocker = os.path.join(self.tmp, "file")
        open(blocker, "w").close()
        with self.assertRaisesRegex(OSError, "output folder"):
            vdask.assign_files(self.lanes[:1], self.wl, self.client,
                               out_dir=os.path.join(blocker, "x"), max_edits=1)
        # A whitelist the tool refuses fails before any task.
        csv = os.path.join(self.tmp, "wl.csv")
        with open(csv, "wb") as f:
            f.write(b"barcode,n\nACGT,1\n")
        with self.assertRaisesRegex(fastq.DataError, "not a sequence"):
            vdask.assign_files(self.lanes[:1], csv, self.client, out_dir=nested, max_edits=1)


if __name__ == "__main__":
    unittest.main()
