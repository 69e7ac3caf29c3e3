#!/usr/bin/env python3
"""The count-times-quality rule of a widely used aligner's barcode
correction, emulated on a simulated run, beside velmora's table.

For each cell read of the one-substitution, two-substitution and N classes
(per the simulator's truth): a window that is a list entry with exact reads
is taken as it is; otherwise the candidates are the list entries one
substitution away with at least one exact read, each scored by its exact
count times the error probability of the base it changes, and the best is
assigned when its share of the scores is at least 0.975.  The exact counts
are velmora's (the table's unique rows at distance 0), so that both rules
see the same abundances.  Prints, per class, the shares assigned correctly,
wrongly and not at all by velmora's table and by the rule.

    peer_rule.py --whitelist LIST.gz --reads run.fastq.gz --truth truth.tsv.gz \\
                 --assignments out.tsv [--length 16]
"""
import argparse
import collections
import gzip


def opener(path):
    return gzip.open(path, "rt") if path.endswith(".gz") else open(path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--whitelist", required=True)
    ap.add_argument("--reads", required=True)
    ap.add_argument("--truth", required=True)
    ap.add_argument("--assignments", required=True)
    ap.add_argument("--length", type=int, default=16)
    ap.add_argument("--min-share", type=float, default=0.975)
    a = ap.parse_args()
    classes = ("sub1", "sub2", "n")
    with opener(a.whitelist) as f:
        listed = {line.strip() for line in f if line.strip()}
    truth = {}
    with opener(a.truth) as f:
        next(f)
        for line in f:
            name, barcode, kind, origin = line.rstrip("\n").split("\t")[:4]
            if origin == "cell" and kind in classes:
                truth[name] = (barcode, kind)
    exact = collections.Counter()
    ours = {}
    with opener(a.assignments) as f:
        next(f)
        for line in f:
            x = line.split("\t")
            if x[2] == "unique" and x[4] == "0":
                exact[x[3]] += 1
            if x[0] in truth:
                ours[x[0]] = x[3] if x[2] == "unique" else None
    tally = collections.Counter()
    n = a.length
    with opener(a.reads) as f:
        for header in f:
            seq = next(f)[:n]
            next(f)
            qual = next(f)[:n]
            name = header[1:].split()[0]
            if name not in truth:
                continue
            barcode, kind = truth[name]
            got = ours.get(name)
            tally[kind, "velmora", "none" if got is None else "right" if got == barcode else "wrong"] += 1
            if seq in listed and exact[seq] > 0:
                pick = seq
            else:
                scores = []
                for i in range(n):
                    p = 10 ** (-(ord(qual[i]) - 33) / 10)
                    for base in "ACGT":
                        other = seq[:i] + base + seq[i + 1:]
                        if base != seq[i] and other in listed and exact[other] > 0:
                            scores.append((exact[other] * p, other))
                best = max(scores) if scores else None
                pick = best[1] if best and best[0] >= a.min_share * sum(s for s, _ in scores) else None
            tally[kind, "rule", "none" if pick is None else "right" if pick == barcode else "wrong"] += 1
    print("| read class | by | assigned correctly | assigned wrongly | unassigned |")
    print("|---|---|---:|---:|---:|")
    for kind in classes:
        for who in ("velmora", "rule"):
            total = sum(tally[kind, who, o] for o in ("right", "wrong", "none"))
            if total:
                print("| %s | %s | %s |" % (kind, who, " | ".join(
                    "%.2f%%" % (100.0 * tally[kind, who, o] / total) for o in ("right", "wrong", "none"))))


if __name__ == "__main__":
    main()
