#!/usr/bin/env python3
"""Reads per second: velmora.dask on a LocalCluster of 2 worker processes
(1 thread each) against `velmora assign --threads 2`, on the same run.

Usage: PYTHONPATH=build/python bench/dask_throughput.py --tool build/tools/velmora/velmora
           [--reads R.fastq --whitelist W --barcode-length 16] [--copies 67] [-- tool/option flags]

Without --reads the demo reads are repeated --copies times into a plain FASTQ
file (67 copies: about 1M reads).  The options after -- are the tool's flags
(default --max-edits 1); the same options go to velmora.dask.  Both outputs
are compared byte for byte before the figures are printed.  Wall time is
from the first task to the last table (cluster start-up excluded; index
builds included); CPU time sums the workers, the client and the tool.
"""

import argparse
import gzip
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import distributed

from velmora.dask import assign_files

HERE = os.path.dirname(os.path.abspath(__file__))


def to_options(flags):
    opts, i = {}, 0
    while i < len(flags):
        name = flags[i].lstrip("-").replace("-", "_")
        if name in ("no_rescue", "fixed_window"):
            opts[name] = True
            i += 1
            continue
        value = flags[i + 1]
        opts[name] = float(value) if "." in value else int(value)
        i += 2
    return opts


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def main():
    argv = sys.argv[1:]
    flags = ["--max-edits", "1"]
    if "--" in argv:
        flags = argv[argv.index("--") + 1:]
        argv = argv[:argv.index("--")]
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--reads")
    ap.add_argument("--whitelist", default=os.path.join(HERE, "..", "examples", "data",
                                                        "whitelist.txt"))
    ap.add_argument("--barcode-length", type=int, default=16)
    ap.add_argument("--copies", type=int, default=67)
    ap.add_argument("--chunk-mb", type=int, default=16)
    args = ap.parse_args(argv)
    tmp = tempfile.mkdtemp()
    try:
        reads = args.reads
        if reads is None:
            reads = os.path.join(tmp, "run.fastq")
            with gzip.open(os.path.join(HERE, "..", "examples", "data", "reads.fastq.gz")) as f:
                demo = f.read()
            with open(reads, "wb") as f:
                for _ in range(args.copies):
                    f.write(demo)
        common = ["--whitelist", args.whitelist, "--reads", reads,
                  "--barcode-length", str(args.barcode_length)]
        tool_out = os.path.join(tmp, "tool.tsv")
        c0, w0 = children_cpu(), time.perf_counter()
        subprocess.run([args.tool, "assign", "--threads", "2", "--out", tool_out] + common + flags,
                       check=True, stderr=subprocess.DEVNULL)
        tool_wall, tool_cpu = time.perf_counter() - w0, children_cpu() - c0

        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                           dashboard_address=None)
        with distributed.Client(cluster) as client:
            client.run(lambda: None)
            out_dir = os.path.join(tmp, "dask")
            os.mkdir(out_dir)
            cpu0 = sum(client.run(time.process_time).values()) + time.process_time()
            w0 = time.perf_counter()
            res = assign_files([reads], args.whitelist, client, out_dir=out_dir,
                               chunk_bytes=args.chunk_mb << 20,
                               barcode_length=args.barcode_length, **to_options(flags))
            dask_wall = time.perf_counter() - w0
            dask_cpu = sum(client.run(time.process_time).values()) + time.process_time() - cpu0
        cluster.close()
        n = res[0]["summary"].reads
        same = subprocess.run(["cmp", "-s", tool_out, res[0]["out"]]).returncode == 0
        print("%d reads, options %s, tables identical: %s" % (n, " ".join(flags), same))
        print("  tool, 2 threads:          %8.0f reads/s wall  %8.0f reads/CPU-s"
              % (n / tool_wall, n / tool_cpu))
        print("  velmora.dask, 2 workers:  %8.0f reads/s wall  %8.0f reads/CPU-s"
              % (n / dask_wall, n / dask_cpu))
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
