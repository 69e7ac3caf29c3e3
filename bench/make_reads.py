#!/usr/bin/env python3
"""Writes a FASTQ run for timing `velmora assign` end to end.

Reads are barcode (16 bases) + UMI (12 bases).  Barcodes come from a
whitelist (plain or gzip): a few thousand cells with skewed abundance, plus
ambient reads from other entries, with the error mix of a real run: mostly
exact, then one substitution, one indel inside the barcode, two
substitutions, one N.  Fixed seed, so a run is repeatable.

usage: bench/make_reads.py WHITELIST OUT.fastq.gz [READS] [CELLS]
"""
import gzip
import random
import sys


def main():
    wl_path, out_path = sys.argv[1], sys.argv[2]
    n_reads = int(sys.argv[3]) if len(sys.argv) > 3 else 1_000_000
    n_cells = int(sys.argv[4]) if len(sys.argv) > 4 else 3000
    opener = gzip.open if wl_path.endswith(".gz") else open
    with opener(wl_path, "rt") as f:
        wl = [line.strip().upper() for line in f if line.strip() and not line.startswith("#")]
    rng = random.Random(15)
    picks = rng.sample(range(len(wl)), n_cells + 20000)
    cells = [wl[i] for i in picks[:n_cells]]
    ambient = [wl[i] for i in picks[n_cells:]]
    weights = [rng.lognormvariate(0, 1.0) for _ in cells]
    bases = "ACGT"

    def mutate(bc, tail):
        r = rng.random()
        s = list(bc)
        if r < 0.85:
            pass
        elif r < 0.95:
            p = rng.randrange(16)
            s[p] = rng.choice([b for b in bases if b != s[p]])
        elif r < 0.97:
            p = rng.randrange(16)
            if rng.random() < 0.5:
                del s[p]
            else:
                s.insert(p, rng.choice(bases))
        elif r < 0.98:
            for p in rng.sample(range(16), 2):
                s[p] = rng.choice([b for b in bases if b != s[p]])
        elif r < 0.99:
            s[rng.randrange(16)] = "N"
        # The read keeps 28 bases: an indel shifts the UMI into place.
        return ("".join(s) + tail)[:28]

    cell_reads = rng.choices(range(n_cells), weights=weights, k=n_reads)
    with gzip.open(out_path, "wt", compresslevel=1) as out:
        for i, c in enumerate(cell_reads):
            bc = cells[c] if rng.random() < 0.9 else rng.choice(ambient)
            tail = "".join(rng.choice(bases) for _ in range(14))
            seq = mutate(bc, tail)
            qual = "".join("F" if rng.random() < 0.9 else rng.choice(":,F#") for _ in seq)
            out.write(f"@r{i}\n{seq}\n+\n{qual}\n")


if __name__ == "__main__":
    main()
