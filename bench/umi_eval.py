#!/usr/bin/env python3
"""Molecules per cell against a simulated run's truth.

    umi_eval.py --truth truth.tsv --counts counts.tsv [--counts counts2.tsv ...]

truth is bench/simulate_run.py's with --molecule-reads (its umi column);
each counts is `velmora assign --counts` of a read-structure run with an M
segment (its umis column).  For the true cells: the true molecules (distinct
true UMIs among the cell's reads), the molecules each counts file gives,
their total against the truth, and the share of cells counted within 1% and
within 5% of their truth.
"""
import argparse
import gzip


def opener(path):
    return gzip.open(path, "rt") if path.endswith(".gz") else open(path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--truth", required=True)
    ap.add_argument("--counts", required=True, action="append")
    a = ap.parse_args()
    molecules = {}
    with opener(a.truth) as f:
        header = next(f).rstrip("\n").split("\t")
        if "umi" not in header:
            raise SystemExit("umi_eval: the truth has no umi column (simulate with --molecule-reads)")
        col = {name: i for i, name in enumerate(header)}
        for line in f:
            x = line.rstrip("\n").split("\t")
            if x[col["origin"]] == "cell":
                molecules.setdefault(x[col["barcode"]], set()).add(x[col["umi"]])
    truth = {cell: len(umis) for cell, umis in molecules.items()}
    total = sum(truth.values())
    print("%d cells, %d true molecules" % (len(truth), total))
    print("| counts | molecules | against the truth | cells within 1% | within 5% |")
    print("|---|---:|---:|---:|---:|")
    for path in a.counts:
        got = {}
        with opener(path) as f:
            header = next(f).rstrip("\n").split("\t")
            at = header.index("umis")
            for line in f:
                x = line.rstrip("\n").split("\t")
                got[x[0]] = int(x[at])
        counted = sum(got.get(cell, 0) for cell in truth)
        near = [sum(abs(got.get(c, 0) - n) <= tol * n for c, n in truth.items()) for tol in (0.01, 0.05)]
        print("| %s | %d | %.2f%% | %.1f%% | %.1f%% |" % (path, counted, 100.0 * counted / total,
                                                       100.0 * near[0] / len(truth), 100.0 * near[1] / len(truth)))


if __name__ == "__main__":
    main()
