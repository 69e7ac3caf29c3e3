#!/usr/bin/env python3
"""Writes SAM text of aligned read pairs carrying raw cell barcodes, for
timing `velmora tag` against `samtools view`: 100-base mates mapped as
99/147, CR/CY (80% of the pairs on the first 300 entries of the list, a
fifth of the barcodes with a substitution), UR/UY, NM and AS, as an aligner
that copies the read's tags leaves them.  Fixed seed.

usage: bench/make_tagged_sam.py WHITELIST PAIRS > out.sam
       (then samtools view -b -o out.bam out.sam)
"""
import random
import sys


def main():
    wl = [line.strip() for line in open(sys.argv[1]) if line.strip() and not line.startswith("#")]
    pairs = int(sys.argv[2])
    rng = random.Random(5)
    out = sys.stdout
    out.write("@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:200000000\n@PG\tID:bwa\tPN:bwa\tCL:bwa mem ref r1 r2\n")
    quals = "".join(chr(33 + q) for q in range(22, 41))
    for t in range(pairs):
        bc = list(rng.choice(wl[:300]) if rng.random() < 0.8 else rng.choice(wl))
        if rng.random() < 0.2:
            bc[rng.randrange(len(bc))] = rng.choice("ACGT")
        bc = "".join(bc)
        cy = "".join(rng.choice(quals) for _ in bc)
        umi = "".join(rng.choice("ACGT") for _ in range(12))
        pos = rng.randrange(1, 199_000_000)
        tags = f"\tCR:Z:{bc}\tCY:Z:{cy}\tUR:Z:{umi}\tUY:Z:{'F' * 12}\tNM:i:1\tAS:i:95"
        name = f"A00123:8:HFWKJDSXX:1:{1101 + t % 50}:{t}:{t % 9999}"
        for flag, at, mate, tlen in ((99, pos, pos + 150, 250), (147, pos + 150, pos, -250)):
            seq = "".join(rng.choice("ACGT") for _ in range(100))
            out.write(f"{name}\t{flag}\tchr1\t{at}\t60\t100M\t=\t{mate}\t{tlen}\t{seq}\t{'F' * 100}{tags}\n")


if __name__ == "__main__":
    main()
