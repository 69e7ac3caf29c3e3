#!/usr/bin/env python3
"""How well `velmora assign --cells` finds the cells of a simulated run,
beside two common rules applied to the same reads per barcode.

    bench/simulate_run.py --whitelist W --reads-out r.fastq.gz --truth-out t.tsv --cell-sigma 1.5
    velmora assign --whitelist W --reads r.fastq.gz --max-edits 1 --out /dev/null \\
        --counts counts.tsv --cells cells.txt
    bench/cells_eval.py --truth t.tsv --counts counts.tsv --cells cells.txt

The true cells are the entries the simulator gave a cell (origin "cell" in
the truth) that received at least one read.  The two other rules:
  knee      the rank where the log-log rank curve lies farthest below the
            line from its first to its last point; the barcodes up to it
  1/10 p99  barcodes with at least a tenth of the 99th percentile of the
            reads of the expected number of cells (given as --expected,
            default the true number), the classic droplet rule
"""

import argparse
import gzip
import math


def opener(path):
    return gzip.open(path, "rt") if path.endswith(".gz") else open(path)


def knee_rule(counts):
    xs = [math.log10(i + 1) for i in range(len(counts))]
    ys = [math.log10(c) for c in counts]
    x0, y0, x1, y1 = xs[0], ys[0], xs[-1], ys[-1]
    best, at = -1.0, 0
    for i, (x, y) in enumerate(zip(xs, ys)):
        # distance below the chord (positive when under it)
        d = ((x1 - x0) * (y0 - y) - (x0 - x) * (y1 - y0)) / math.hypot(x1 - x0, y1 - y0)
        if d > best:
            best, at = d, i
    return at + 1


def percentile_rule(counts, expected):
    top = counts[:max(1, expected)]
    p99 = top[int(0.01 * (len(top) - 1))]
    limit = p99 / 10.0
    return sum(1 for c in counts if c >= limit)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--truth", required=True)
    ap.add_argument("--counts", required=True)
    ap.add_argument("--cells", required=True)
    ap.add_argument("--expected", type=int)
    args = ap.parse_args()
    origin = {}
    with opener(args.truth) as f:
        next(f)
        for line in f:
            _, barcode, _, kind, _ = line.rstrip("\n").split("\t")
            origin.setdefault(barcode, kind)
    cells = {b for b, k in origin.items() if k == "cell"}
    ranked = []
    with opener(args.counts) as f:
        next(f)
        for line in f:
            barcode, _, _, total = line.split("\t")
            ranked.append((barcode, int(total)))
    counts = [c for _, c in ranked]
    with opener(args.cells) as f:
        called = {line.strip() for line in f if line.strip()}
    rules = [("velmora --cells (valley)", called),
             ("knee of the rank curve", {b for b, _ in ranked[:knee_rule(counts)]}),
             ("1/10 of p99 of expected cells",
              {b for b, _ in ranked[:percentile_rule(counts, args.expected or len(cells))]})]
    print("true cells with reads: %d" % len(cells))
    print("%-32s %8s %8s %10s" % ("rule", "called", "recall", "precision"))
    for name, chosen in rules:
        hit = len(chosen & cells)
        print("%-32s %8d %7.1f%% %9.1f%%" % (name, len(chosen), 100.0 * hit / max(1, len(cells)),
                                             100.0 * hit / max(1, len(chosen))))


if __name__ == "__main__":
    main()
