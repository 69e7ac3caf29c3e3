#!/usr/bin/env python3
"""Assign the barcodes of many FASTQ files on a Dask cluster.

    examples/dask_assign.py --whitelist examples/data/whitelist.txt \
        --barcode-length 16 --max-edits 1 --out-dir out examples/data/reads.fastq.gz

Without --scheduler a LocalCluster of --workers worker processes runs on this
machine; with --scheduler tcp://HOST:8786 the work goes to that cluster
(the reads and --out-dir must be visible to every worker).  Each worker builds
the whitelist's index once and keeps it for every task.  One table per input
(NAME.velmora.tsv, the columns of `velmora assign`) and a summary line each.
"""

import argparse
import time

import distributed

from velmora.dask import assign_files


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("reads", nargs="+", help="FASTQ files, plain or gzip")
    ap.add_argument("--whitelist", required=True)
    ap.add_argument("--scheduler", help="address of a running scheduler (tcp://HOST:8786)")
    ap.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    ap.add_argument("--out-dir", help="folder for the tables (default: beside each input)")
    ap.add_argument("--chunk-mb", type=int, default=256,
                    help="plain files above this size are split at record starts")
    ap.add_argument("--barcode-start", type=int, default=0)
    ap.add_argument("--barcode-length", type=int)
    group = ap.add_mutually_exclusive_group(required=True)
    group.add_argument("--max-edits", type=int)
    group.add_argument("--max-mismatches", type=int)
    ap.add_argument("--no-rescue", action="store_true")
    ap.add_argument("--fixed-window", action="store_true")
    args = ap.parse_args()

    if args.scheduler:
        client = distributed.Client(args.scheduler)
    else:
        client = distributed.Client(distributed.LocalCluster(
            n_workers=args.workers, threads_per_worker=1, dashboard_address=None))
    with client:
        t0 = time.perf_counter()
        results = assign_files(args.reads, args.whitelist, client, out_dir=args.out_dir,
                               chunk_bytes=args.chunk_mb << 20,
                               barcode_start=args.barcode_start,
                               barcode_length=args.barcode_length, max_edits=args.max_edits,
                               max_mismatches=args.max_mismatches, no_rescue=args.no_rescue,
                               fixed_window=args.fixed_window)
        seconds = time.perf_counter() - t0
    total = 0
    for r in results:
        s = r["summary"]
        total += s.reads
        print("%s -> %s: %d reads, %s" % (r["reads"], r["out"], s.reads,
                                          ", ".join("%s %d" % kv for kv in s.status.items())))
    print("%d reads in %.1f s" % (total, seconds))


if __name__ == "__main__":
    main()
