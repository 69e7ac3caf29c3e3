#!/usr/bin/env python3
"""Generates the demo data of the velmora tool, deterministically.

    python3 examples/data/make_demo_data.py [output-directory] [--truth FILE]

writes, by default next to this script:

  whitelist.txt   4,000 barcodes of 16 bases, one per line, upper-case A/C/G/T.
                  No two are within one substitution of each other, and most
                  have several others exactly two substitutions away, as in
                  real barcode lists, so many one-error reads are ambiguous.
  reads.fastq.gz  20,000 reads of 28 bases (gzip): a 16-base barcode followed
                  by a 12-base UMI, with declining Phred qualities.  300 cells
                  with log-normal read counts carry 92% of the reads, 1,500
                  entries holding no cell the rest (ambient).  80% of the
                  barcodes are exact; the others carry one substitution, one
                  deletion or insertion inside the barcode, one N, or two
                  substitutions, placed where the qualities are low.

--truth FILE also writes the true barcode, error class and origin of every
read, for bench/evaluate_run.py.  The generator is bench/simulate_run.py (the
same one the accuracy benchmark uses); this script only fixes its options.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))

import simulate_run  # noqa: E402


def main(argv):
    truth = os.devnull
    if "--truth" in argv:
        i = argv.index("--truth")
        truth = argv[i + 1]
        del argv[i:i + 2]
    out_dir = argv[0] if argv else HERE
    return simulate_run.main([
        "--synthetic-whitelist", "4000",
        "--whitelist-out", os.path.join(out_dir, "whitelist.txt"),
        "--reads-out", os.path.join(out_dir, "reads.fastq.gz"),
        "--truth-out", truth,
        "--reads", "20000",
        "--cells", "300",
        "--ambient-barcodes", "1500",
        "--ambient-fraction", "0.08",
        "--compress-level", "9",
        "--seed", "20261206",
    ])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
