#!/usr/bin/env python3
"""The three ways to run the read pipeline, timed side by side on the same
files: the velmora command, velmora.fastq.assign_file in this process, and
velmora.dask.assign_files on a LocalCluster of single-threaded workers.
Every output is compared byte for byte with the command's.

    PYTHONPATH=build/python /usr/bin/python3 bench/pipeline_paths.py \\
        --tool build/tools/velmora/velmora --whitelist W.txt.gz --repeat 3 lane*.fastq.gz

Rows (best of --repeat runs, wall seconds and reads per second):
  tool 1 thread, first file      velmora assign --threads 1 on the first file
  fastq.assign_file, first file  the same job through the Python extension
  tool --threads T, per file     one command run per file, one after another
  dask per-file priors           one call over all files, per-file priors
  tool --threads T, pooled       one command run with every file as --reads
  dask pooled prior              one call, pool_prior=True
  tool --threads T, one file     one command run over the files joined into one gzip
  dask one file                  that file cut into shards of --chunk-mb
"""

import argparse
import os
import shutil
import subprocess
import tempfile
import time

import distributed

from velmora import dask as vdask
from velmora import fastq


def count_reads(path):
    import gzip
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        return sum(1 for _ in f) // 4


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("reads", nargs="+")
    ap.add_argument("--tool", required=True)
    ap.add_argument("--whitelist", required=True)
    ap.add_argument("--max-edits", type=int, default=1)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--chunk-mb", type=int, default=32)
    args = ap.parse_args()
    reads = [os.path.abspath(r) for r in args.reads]
    n_first = count_reads(reads[0])
    n_all = n_first + sum(count_reads(r) for r in reads[1:])
    tmp = tempfile.mkdtemp()
    k = ["--max-edits", str(args.max_edits)]
    # The gzip files one after another are one gzip file of several members.
    joined_reads = os.path.join(tmp, "joined.fastq.gz")
    with open(joined_reads, "wb") as out:
        for r in reads:
            with open(r, "rb") as f:
                shutil.copyfileobj(f, out)

    def tool(paths, out, threads):
        cmd = [args.tool, "assign", "--whitelist", args.whitelist, "--out", out,
               "--threads", str(threads)] + k
        for p in paths:
            cmd += ["--reads", p]
        subprocess.run(cmd, check=True, capture_output=True)

    def tool_first():
        tool(reads[:1], os.path.join(tmp, "t1.tsv"), 1)

    def py_first():
        fastq.assign_file(reads[0], args.whitelist, os.path.join(tmp, "p1.tsv"),
                          max_edits=args.max_edits)

    def tool_per_file():
        for i, p in enumerate(reads):
            tool([p], os.path.join(tmp, "tf%d.tsv" % i), args.threads)

    def tool_pooled():
        tool(reads, os.path.join(tmp, "tp.tsv"), args.threads)

    cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                       processes=True, dashboard_address=None)
    client = distributed.Client(cluster)
    # Each worker builds its index once; the first call pays for it, as the
    # command pays for its own in every run.
    dask_out = os.path.join(tmp, "dask")
    pooled_out = os.path.join(tmp, "dask-pooled")

    def dask_per_file():
        vdask.assign_files(reads, args.whitelist, client, out_dir=dask_out,
                           max_edits=args.max_edits)

    def tool_one():
        tool([joined_reads], os.path.join(tmp, "to.tsv"), args.threads)

    one_out = os.path.join(tmp, "dask-one")

    def dask_one():
        vdask.assign_files([joined_reads], args.whitelist, client, out_dir=one_out,
                           chunk_bytes=args.chunk_mb << 20, max_edits=args.max_edits)

    def dask_pooled():
        vdask.assign_files(reads, args.whitelist, client, out_dir=pooled_out, pool_prior=True,
                           max_edits=args.max_edits)

    rows = [("tool 1 thread, first file", tool_first, n_first),
            ("fastq.assign_file, first file", py_first, n_first),
            ("tool --threads %d, per file" % args.threads, tool_per_file, n_all),
            ("dask per-file priors", dask_per_file, n_all),
            ("tool --threads %d, pooled" % args.threads, tool_pooled, n_all),
            ("dask pooled prior", dask_pooled, n_all),
            ("tool --threads %d, one file" % args.threads, tool_one, n_all),
            ("dask one file", dask_one, n_all)]
    best = {name: float("inf") for name, _, _ in rows}
    for _ in range(args.repeat):
        for name, fn, _ in rows:
            t = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t)

    def same(a, b):
        with open(a, "rb") as x, open(b, "rb") as y:
            return x.read() == y.read()
    checks = [same(os.path.join(tmp, "t1.tsv"), os.path.join(tmp, "p1.tsv"))]
    for i, p in enumerate(reads):
        checks.append(same(os.path.join(tmp, "tf%d.tsv" % i), vdask.output_path(p, dask_out)))
    joined = os.path.join(tmp, "joined.tsv")
    with open(joined, "wb") as out:
        for i, p in enumerate(reads):
            with open(vdask.output_path(p, pooled_out), "rb") as f:
                data = f.read()
            out.write(data if i == 0 else data.split(b"\n", 1)[1])
    checks.append(same(os.path.join(tmp, "tp.tsv"), joined))
    checks.append(same(os.path.join(tmp, "to.tsv"), vdask.output_path(joined_reads, one_out)))
    client.close()
    cluster.close()
    shutil.rmtree(tmp)

    print("%-34s %9s %12s" % ("", "seconds", "reads/s"))
    for name, _, n in rows:
        print("%-34s %9.2f %12s" % (name, best[name], format(int(n / best[name]), ",")))
    names = [r[0] for r in rows]
    print("fastq / tool time: %.2f" % (best[names[1]] / best[names[0]]))
    print("dask / tool reads per second, per file: %.2f; pooled: %.2f; one file: %.2f"
          % (best[names[2]] / best[names[3]], best[names[4]] / best[names[5]],
             best[names[6]] / best[names[7]]))
    print("outputs identical: %s" % all(checks))


if __name__ == "__main__":
    main()
