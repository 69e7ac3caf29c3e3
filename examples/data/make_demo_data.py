#!/usr/bin/env python3
"""Generates the demo data of the velmora tool, deterministically.

    python3 examples/data/make_demo_data.py [output-directory]

writes, by default next to this script:

  whitelist.txt   3,000 barcodes of 16 bases, one per line, upper-case A/C/G/T,
                  no blank lines or comments.  No two are within one
                  substitution of each other, and about 5% have a partner at
                  exactly two substitutions, as in real barcode lists, so some
                  one-error reads are ambiguous.
  reads.fastq.gz  15,000 reads of 28 bases (gzip): a 16-base barcode followed by
                  a 12-base UMI.  Most barcodes are exact copies of a whitelist
                  entry; the rest carry one or two substitutions, one insertion
                  or deletion, an N, or come from no entry at all.

Only the Python standard library is used, with a fixed seed, so running the
script again gives the same sequences.
"""

import gzip
import os
import random
import sys

SEED = 20261206
BARCODES = 3000
BARCODE_LEN = 16
UMI_LEN = 12
READS = 15000
BASES = "ACGT"

# (share of reads, kind of barcode error)
ERROR_MIX = [
    (0.78, "exact"),
    (0.10, "sub1"),
    (0.03, "sub2"),
    (0.02, "ins"),
    (0.02, "del"),
    (0.03, "n"),
    (0.02, "random"),
]


def substitute(rng, seq, count):
    seq = list(seq)
    for pos in rng.sample(range(len(seq)), count):
        seq[pos] = rng.choice([b for b in BASES if b != seq[pos]])
    return "".join(seq)


def one_sub_neighbours(seq):
    for i, old in enumerate(seq):
        for b in BASES:
            if b != old:
                yield seq[:i] + b + seq[i + 1:]


def make_whitelist(rng):
    chosen = []
    taken = set()      # entries
    blocked = set()    # entries and everything one substitution away

    def add(seq):
        if seq in blocked:
            return False
        chosen.append(seq)
        taken.add(seq)
        blocked.add(seq)
        blocked.update(one_sub_neighbours(seq))
        return True

    while len(chosen) < BARCODES:
        if chosen and rng.random() < 0.05:
            # A partner two substitutions from an existing entry.
            add(substitute(rng, rng.choice(chosen), 2))
        else:
            add("".join(rng.choice(BASES) for _ in range(BARCODE_LEN)))
    return chosen


def quality(rng, seq):
    out = []
    for base in seq:
        if base == "N":
            out.append("#")
        else:
            out.append(rng.choices("F:,", weights=[90, 8, 2])[0])
    return "".join(out)


def make_reads(rng, whitelist):
    kinds = [k for _, k in ERROR_MIX]
    weights = [w for w, _ in ERROR_MIX]
    # Cells differ in depth: a few hundred barcodes carry most reads.
    popular = rng.sample(whitelist, 400)
    lines = []
    for i in range(READS):
        origin = rng.choice(popular) if rng.random() < 0.7 else rng.choice(whitelist)
        kind = rng.choices(kinds, weights=weights)[0]
        umi = "".join(rng.choice(BASES) for _ in range(UMI_LEN))
        if kind == "exact":
            bc = origin
        elif kind == "sub1":
            bc = substitute(rng, origin, 1)
        elif kind == "sub2":
            bc = substitute(rng, origin, 2)
        elif kind == "ins":
            pos = rng.randrange(BARCODE_LEN + 1)
            bc = origin[:pos] + rng.choice(BASES) + origin[pos:]
        elif kind == "del":
            pos = rng.randrange(BARCODE_LEN)
            bc = origin[:pos] + origin[pos + 1:]
        elif kind == "n":
            pos = rng.randrange(BARCODE_LEN)
            bc = origin[:pos] + "N" + origin[pos + 1:]
        else:
            bc = "".join(rng.choice(BASES) for _ in range(BARCODE_LEN))
        # The read keeps its length: an insertion pushes the last UMI base
        # out, a deletion pulls one more base in.
        seq = (bc + umi + rng.choice(BASES))[: BARCODE_LEN + UMI_LEN]
        tile = 1101 + i // 5000
        name = "@VM01:7:H3KDEMO:1:%d:%d:%d 1:N:0:1" % (
            tile, 1000 + rng.randrange(30000), 1000 + rng.randrange(30000))
        lines.extend([name, seq, "+", quality(rng, seq)])
    return "\n".join(lines) + "\n"


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    rng = random.Random(SEED)
    whitelist = make_whitelist(rng)
    with open(os.path.join(out_dir, "whitelist.txt"), "w", newline="\n") as f:
        f.write("\n".join(whitelist) + "\n")
    reads = make_reads(rng, whitelist)
    # mtime 0 and no file name in the header keep the gzip bytes repeatable.
    with open(os.path.join(out_dir, "reads.fastq.gz"), "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as gz:
            gz.write(reads.encode("ascii"))


if __name__ == "__main__":
    main()
