#!/usr/bin/env python3
"""Molecules per cell, and each read's corrected UMI, against a simulated run's truth.

    umi_eval.py --truth truth.tsv [--counts counts.tsv ...] [--assignments table.tsv]

truth is bench/simulate_run.py's with --molecule-reads (its umi column);
each counts is `velmora assign --counts` of a read-structure run with an M
segment (its umis column).  For the true cells: the true molecules (distinct
true UMIs among the cell's reads), the molecules each counts file gives,
their total against the truth, and the share of cells counted within 1% and
within 5% of their truth.

assignments is the table (`--out`) of the same run, in the truth's read
order, with its umi and umi_corrected columns.  Among the reads assigned to
their true cell: the erroneous UMIs the rule can restore (one substitution;
the true UMI seen in that cell at least 2n - 1 times, n the erroneous one's
reads there, and more often) and the share restored to the true UMI; the
error-free UMIs and the share kept.
"""
import argparse
import gzip


def opener(path):
    return gzip.open(path, "rt") if path.endswith(".gz") else open(path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--truth", required=True)
    ap.add_argument("--counts", action="append", default=[])
    ap.add_argument("--assignments")
    a = ap.parse_args()
    if a.assignments:
        per_read(a.truth, a.assignments)
    if not a.counts:
        return
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


def table_rows(path):
    with opener(path) as f:
        header = next(f).rstrip("\n").split("\t")
        cell = header.index("cell") if "cell" in header else header.index("assigned")
        umi, fixed = header.index("umi"), header.index("umi_corrected")
        for line in f:
            x = line.rstrip("\n").split("\t")
            yield x[cell], x[umi], x[fixed]


def per_read(truth_path, table_path):
    seen = {}  # (cell, observed UMI) -> reads, as the rule sees them
    for cell, umi, _ in table_rows(table_path):
        if cell != "-":
            seen[(cell, umi)] = seen.get((cell, umi), 0) + 1
    restorable = restored = clean = kept = misplaced = 0
    with opener(truth_path) as f:
        header = next(f).rstrip("\n").split("\t")
        col = {name: i for i, name in enumerate(header)}
        for line, (cell, umi, fixed) in zip(f, table_rows(table_path)):
            x = line.rstrip("\n").split("\t")
            if x[col["origin"]] != "cell" or cell != x[col["barcode"]]:
                continue
            true_umi = x[col["umi"]]
            if x[col["umi_error"]] == "-":
                if umi != true_umi:
                    misplaced += 1
                    continue
                clean += 1
                kept += fixed == umi
                continue
            n, m = seen.get((cell, umi), 0), seen.get((cell, true_umi), 0)
            if "N" not in umi and m >= 2 * n - 1 and m > n:
                restorable += 1
                restored += fixed == true_umi
    print("| reads in their true cell | reads | share |")
    print("|---|---:|---:|")
    print("| erroneous UMI the rule can restore: restored | %d | %.3f%% |"
          % (restorable, 100.0 * restored / max(restorable, 1)))
    print("| error-free UMI: kept | %d | %.3f%% |" % (clean, 100.0 * kept / max(clean, 1)))
    print("| error-free UMI read elsewhere (barcode indel): left out | %d | |" % misplaced)


if __name__ == "__main__":
    main()
