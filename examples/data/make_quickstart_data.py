#!/usr/bin/env python3
"""Writes the quickstart's bundled data, deterministically:
quickstart_whitelist.txt (96 barcodes of 16 bases) and quickstart_barcodes.txt
(a small batch of observed barcodes: exact copies, one substitution, one
insertion or deletion, two edits, an N, and a stranger)."""
import random
from pathlib import Path

rng = random.Random(20261206)
here = Path(__file__).resolve().parent


def barcode():
    return "".join(rng.choice("ACGT") for _ in range(16))


whitelist = []
while len(whitelist) < 96:
    b = barcode()
    if b not in whitelist:
        whitelist.append(b)


def substitute(s, pos):
    return s[:pos] + rng.choice([c for c in "ACGT" if c != s[pos]]) + s[pos + 1:]


batch = [
    ("exact copy", whitelist[3]),
    ("exact copy", whitelist[41]),
    ("one substitution", substitute(whitelist[7], 5)),
    ("one substitution", substitute(whitelist[60], 15)),
    ("one deletion", whitelist[12][:8] + whitelist[12][9:]),
    ("one insertion", whitelist[25][:4] + "G" + whitelist[25][4:]),
    ("two substitutions", substitute(substitute(whitelist[33], 2), 11)),
    ("an N", whitelist[50][:10] + "N" + whitelist[50][11:]),
    ("lower case", whitelist[70].lower()),
    ("unrelated", barcode()),
]

(here / "quickstart_whitelist.txt").write_text("".join(b + "\n" for b in whitelist))
(here / "quickstart_barcodes.txt").write_text(
    "".join(f"{seq}\t{label}\n" for label, seq in batch))
