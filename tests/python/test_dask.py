"""velmora.dask on a LocalCluster of two worker processes: the tables equal
the single-process ones byte for byte, whether a file is one task or cut
into byte ranges, and each worker builds the index once."""

import gzip
import os
import shutil
import subprocess
import tempfile
import unittest

from velmora import fastq

try:
    import distributed
    from velmora import dask as vdask
except ImportError:
    distributed = None

DATA = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples", "data")
WHITELIST = os.path.join(DATA, "whitelist.txt")
TOOL = os.environ.get("VELMORA_TOOL")
OPTIONS = {"max_edits": 1, "barcode_length": 16, "no_rescue": True, "fixed_window": True}


@unittest.skipIf(distributed is None, "SKIPPED: dask/distributed not installed")
class OnLocalCluster(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                               processes=True, dashboard_address=None)
        cls.client = distributed.Client(cls.cluster)
        cls.tmp = tempfile.mkdtemp()
        # One gzip file (one task) and one plain file (cut into ranges).
        cls.gz = os.path.join(cls.tmp, "lane1.fastq.gz")
        shutil.copy(os.path.join(DATA, "reads.fastq.gz"), cls.gz)
        cls.plain = os.path.join(cls.tmp, "lane2.fq")
        with gzip.open(cls.gz) as src, open(cls.plain, "wb") as dst:
            dst.write(src.read())

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.cluster.close()
        shutil.rmtree(cls.tmp)

    def expected(self, path, **extra):
        """The single-process table (the tool's when it is built: they are
        the same bytes, see test_fastq) and velmora.fastq's summary."""
        opts = dict(OPTIONS, **extra)
        out = os.path.join(self.tmp, "want.tsv")
        summary = fastq.assign_file(path, WHITELIST, out, **opts)
        if TOOL and os.path.exists(TOOL):
            flags = ["--max-edits", str(opts["max_edits"]), "--barcode-length",
                     str(opts["barcode_length"])]
            flags += ["--no-rescue"] if opts.get("no_rescue") else []
            flags += ["--fixed-window"] if opts.get("fixed_window") else []
            subprocess.run([TOOL, "assign", "--whitelist", WHITELIST, "--reads", path,
                            "--out", out] + flags, check=True, capture_output=True)
        with open(out, "rb") as f:
            return f.read(), summary

    def test_identical_to_single_process(self):
        out_dir = os.path.join(self.tmp, "out")
        os.mkdir(out_dir)
        size = os.path.getsize(self.plain)
        for chunk in (size // 5, size * 2):
            with self.subTest(chunk=chunk):
                got = vdask.assign_files([self.gz, self.plain], WHITELIST, self.client,
                                         out_dir=out_dir, chunk_bytes=chunk, **OPTIONS)
                self.assertEqual([g["out"] for g in got],
                                 [os.path.join(out_dir, "lane1.velmora.tsv"),
                                  os.path.join(out_dir, "lane2.velmora.tsv")])
                for g, path in zip(got, (self.gz, self.plain)):
                    want, summary = self.expected(path)
                    with open(g["out"], "rb") as f:
                        self.assertEqual(f.read(), want)
                    self.assertEqual(g["summary"], summary)
                self.assertEqual(sorted(os.listdir(out_dir)),
                                 ["lane1.velmora.tsv", "lane2.velmora.tsv"])  # no parts left
        # Every worker built the index at most once over both calls.
        info = self.client.run(vdask.cache_info)
        self.assertTrue(all(i["builds"] <= 1 for i in info.values()), info)


if __name__ == "__main__":
    unittest.main()
