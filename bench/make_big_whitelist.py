#!/usr/bin/env python3
"""Writes a large whitelist for memory and speed runs: every entry of a real
list, then random 16-mers (distinct, not in the list) up to a total count,
gzip-compressed.  Fixed seed, so the list is the same every time.

usage: bench/make_big_whitelist.py WHITELIST OUT.txt.gz [TOTAL]
(TOTAL defaults to 6,800,000, about nine times the 737K list)
"""
import gzip
import random
import sys


def main():
    src, out = sys.argv[1], sys.argv[2]
    total = int(sys.argv[3]) if len(sys.argv) > 3 else 6_800_000
    opener = gzip.open if src.endswith(".gz") else open
    with opener(src, "rt") as f:
        entries = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    length = len(entries[0])
    seen = set(entries)
    rng = random.Random(6800)
    while len(entries) < total:
        e = "".join(rng.choice("ACGT") for _ in range(length))
        if e not in seen:
            seen.add(e)
            entries.append(e)
    with gzip.open(out, "wt", compresslevel=6) as f:
        f.write("\n".join(entries))
        f.write("\n")


if __name__ == "__main__":
    main()
