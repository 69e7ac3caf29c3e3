#!/usr/bin/env python3
"""Simulates a barcoded sequencing run, with the truth for every read.

    python3 bench/simulate_run.py --whitelist LIST --reads-out run.fastq.gz --truth-out truth.tsv
    python3 bench/simulate_run.py --synthetic-whitelist 4000 --whitelist-out wl.txt ...

Cells: --cells entries of the whitelist, each with a number of reads drawn
from a log-normal (a few cells carry many reads, many carry few).  Ambient:
--ambient-fraction of the reads come from --ambient-barcodes other entries,
which hold no cell and get a handful of reads each: Pareto-weighted (a few
catch many), or with --ambient-flat equally likely, as reads of free RNA
spread over the whole list (--ambient-barcodes all) are.

Each read is barcode (16) + UMI (12) + an optional tail, with Phred+33
qualities that decline along the read and dip now and then.  Its barcode
carries one error class, in the proportions of --mix:

  exact  the barcode as it is
  sub1   one substitution
  del    one base of the barcode deleted (the window pulls in a UMI base)
  ins    one base inserted inside the barcode (after its first base)
  n      one base read as N (quality 2)
  sub2   two substitutions

Errors follow the qualities: a sequencer that reports Phred q errs with
probability p = 10^(-q/10), so an error sits at position i with probability
proportional to p_i / (1 - p_i) (the base next to the gap for an indel).
--uncalibrated puts that share of the errors anywhere instead, as real
quality scores are not perfectly calibrated.  The read keeps its length: an
insertion pushes the last base out, a deletion pulls one more in.

The truth TSV has a header line and one line per read: read name, true
barcode, error class, origin (cell or ambient), error positions in the true
barcode (comma-separated, '-' for exact); with --molecule-reads also the
true UMI and the position of its substitution ('-': none).  The same seed gives the same
bytes.  --read2-out also writes a read 2 per read (--read2-length random
template bases, same name, "2:N:0:1"), from a random stream of its own, so
that read 1 and the truth are the same bytes with or without it.  Only the
Python standard library is used.
"""

import argparse
import bisect
import gzip
import io
import random
import sys

BASES = "ACGT"
CLASSES = ("exact", "sub1", "del", "ins", "n", "sub2")
DEFAULT_MIX = "exact=0.80,sub1=0.10,del=0.015,ins=0.015,n=0.04,sub2=0.03"


def parse_mix(text):
    mix = {}
    for item in text.split(","):
        name, _, share = item.partition("=")
        name = name.strip()
        if name not in CLASSES:
            raise ValueError("unknown error class '%s' (known: %s)" % (name, ", ".join(CLASSES)))
        mix[name] = float(share)
        if mix[name] < 0:
            raise ValueError("negative share for '%s'" % name)
    if sum(mix.values()) <= 0:
        raise ValueError("the mix has no positive share")
    return mix


def open_text(path):
    with open(path, "rb") as f:
        magic = f.read(2)
    if magic == b"\x1f\x8b":
        return io.TextIOWrapper(gzip.open(path, "rb"), encoding="ascii")
    return open(path, encoding="ascii")


def read_whitelist(path):
    with open_text(path) as f:
        entries = [line.strip() for line in f]
    return [e for e in entries if e and not e.startswith("#")]


# --- a synthetic whitelist with near neighbors --------------------------------

def synthetic_whitelist(rng, size, length):
    """Entries no two within one substitution, most in families.

    A family shares all bases but four positions, where its members form a
    code of minimum distance two (the base values sum to a fixed residue mod
    4), so each member has up to 18 others two substitutions away.  Real
    barcode lists are this dense in pairs at distance two (44% of the
    one-substitution variants of the 737K list lie one substitution from
    another entry too), which is what makes one-error reads ambiguous.
    """
    chosen = []
    blocked = set()  # entries and their one-substitution neighbors

    def add(seq):
        if seq in blocked:
            return False
        chosen.append(seq)
        blocked.add(seq)
        for i, old in enumerate(seq):
            for b in BASES:
                if b != old:
                    blocked.add(seq[:i] + b + seq[i + 1:])
        return True

    while len(chosen) < size:
        core = [rng.choice(BASES) for _ in range(length)]
        if rng.random() < 0.1:
            add("".join(core))
            continue
        positions = rng.sample(range(length), 4)
        residue = rng.randrange(4)
        words = [(a, b, c, (residue - a - b - c) % 4) for a in range(4) for b in range(4) for c in range(4)]
        rng.shuffle(words)
        for word in words[: rng.randint(20, 56)]:
            for pos, v in zip(positions, word):
                core[pos] = BASES[v]
            add("".join(core))
            if len(chosen) == size:
                break
    return chosen


# --- qualities and errors ------------------------------------------------------

def make_qualities(rng, length):
    """Phred scores: high at the start, lower towards the end, with dips."""
    offset = rng.gauss(0, 2.5)
    out = []
    for i in range(length):
        if rng.random() < 0.015:
            q = rng.randint(3, 15)
        else:
            q = 37 - 8 * (i / max(1, length - 1)) ** 1.5 + offset + rng.gauss(0, 1.5)
        out.append(min(40, max(2, int(round(q)))))
    return out


def error_weight(q):
    p = 10 ** (-q / 10)
    return p / (1 - p) if p < 1 else 1e9


def pick_positions(rng, quals, candidates, count, uncalibrated):
    """count distinct positions among candidates, weighted by error odds."""
    picked = []
    pool = list(candidates)
    for _ in range(count):
        if rng.random() < uncalibrated:
            pos = rng.choice(pool)
        else:
            pos = rng.choices(pool, weights=[error_weight(quals[i]) for i in pool])[0]
        picked.append(pos)
        pool.remove(pos)
    return sorted(picked)


def other_base(rng, base):
    return rng.choice([b for b in BASES if b != base])


def make_read(rng, barcode, kind, read_len, uncalibrated, umi=None):
    """(sequence, qualities, error positions) for one read of this barcode;
    umi, when given, is the UMI the read holds after its barcode."""
    bc_len = len(barcode)
    quals = make_qualities(rng, read_len)
    rest = "".join(rng.choices(BASES, k=read_len - bc_len + 1))  # UMI, tail, one spare base
    if umi is not None:
        rest = umi + rest[len(umi):]
    positions = []
    bc = list(barcode)
    if kind in ("sub1", "sub2"):
        positions = pick_positions(rng, quals, range(bc_len), 1 if kind == "sub1" else 2, uncalibrated)
        for pos in positions:
            bc[pos] = other_base(rng, bc[pos])
    elif kind == "n":
        positions = pick_positions(rng, quals, range(bc_len), 1, uncalibrated)
        bc[positions[0]] = "N"
        quals[positions[0]] = 2
    elif kind == "del":
        # Base pos is lost; the base that takes its place in the read is the
        # one whose quality speaks for the gap.
        positions = pick_positions(rng, quals, range(bc_len), 1, uncalibrated)
        del bc[positions[0]]
    elif kind == "ins":
        positions = pick_positions(rng, quals, range(1, bc_len), 1, uncalibrated)
        bc.insert(positions[0], rng.choice(BASES))
    seq = ("".join(bc) + rest)[:read_len]
    return seq, "".join(chr(33 + q) for q in quals), positions


# --- the run -------------------------------------------------------------------

def draw_sources(rng, whitelist, args):
    """[(barcode, origin)] and their cumulative read weights."""
    n_ambient = (len(whitelist) - args.cells if args.ambient_barcodes == "all"
                 else int(args.ambient_barcodes))
    if n_ambient < 0 or args.cells + n_ambient > len(whitelist):
        raise ValueError("the whitelist has %d entries, fewer than %d cells + %d ambient barcodes"
                         % (len(whitelist), args.cells, n_ambient))
    picked = rng.sample(range(len(whitelist)), args.cells + n_ambient)
    sources, weights = [], []
    cell_w = [rng.lognormvariate(0, args.cell_sigma) for _ in range(args.cells)]
    amb_w = ([1.0] * n_ambient if args.ambient_flat
             else [rng.paretovariate(1.5) for _ in range(n_ambient)])
    share_cells = 1 - args.ambient_fraction if n_ambient else 1.0
    cell_total, amb_total = sum(cell_w), sum(amb_w)
    for idx, w in zip(picked[: args.cells], cell_w):
        sources.append((whitelist[idx], "cell"))
        weights.append(share_cells * w / cell_total)
    for idx, w in zip(picked[args.cells:], amb_w):
        sources.append((whitelist[idx], "ambient"))
        weights.append((1 - share_cells) * w / amb_total)
    cum, total = [], 0.0
    for w in weights:
        total += w
        cum.append(total)
    return sources, cum


def simulate(args, whitelist, reads_out, truth_out, read2_out=None):
    rng = random.Random(args.seed)
    rng2 = random.Random(args.seed ^ 0x2222)
    r2_len = args.read2_length
    r2_qual = "F" * r2_len
    bc_len = args.barcode_length
    if any(len(e) != bc_len for e in whitelist):
        raise ValueError("every whitelist entry must have %d bases" % bc_len)
    read_len = bc_len + args.umi_length + args.tail_length
    sources, cum = draw_sources(rng, whitelist, args)
    mix = parse_mix(args.mix)
    kinds = [k for k in CLASSES if mix.get(k, 0) > 0]
    kind_cum, total = [], 0.0
    for k in kinds:
        total += mix[k]
        kind_cum.append(total)

    # Molecules: a barcode's reads come in runs of 1 to --molecule-reads
    # reads sharing one UMI, drawn apart from the barcodes' randomness so
    # that the run's barcodes are those of the same seed without molecules.
    mol_rng = random.Random(args.seed ^ 0x3333) if args.molecule_reads else None
    molecule = {}  # barcode -> [UMI, reads left]
    truth_out.write("read\tbarcode\terror\torigin\tpositions%s\n"
                    % ("\tumi\tumi_error" if mol_rng else ""))
    counts = {}
    tile_reads = 200000
    for i in range(args.reads):
        barcode, origin = sources[min(len(sources) - 1, bisect.bisect_right(cum, rng.random() * cum[-1]))]
        kind = kinds[min(len(kinds) - 1, bisect.bisect_right(kind_cum, rng.random() * total))]
        umi = observed = None
        if mol_rng:
            state = molecule.get(barcode)
            if state is None or state[1] == 0:
                state = ["".join(mol_rng.choices(BASES, k=args.umi_length)), mol_rng.randint(1, args.molecule_reads)]
                molecule[barcode] = state
            state[1] -= 1
            umi = observed = state[0]
            umi_error = "-"
            if mol_rng.random() < args.umi_error:
                at = mol_rng.randrange(len(umi))
                observed = umi[:at] + other_base(mol_rng, umi[at]) + umi[at + 1:]
                umi_error = str(at)
        seq, qual, positions = make_read(rng, barcode, kind, read_len, args.uncalibrated, observed)
        name = "VM01:7:H3KSIM:1:%d:%d:%d" % (1101 + i // tile_reads, 1000 + i % tile_reads,
                                             1000 + rng.randrange(30000))
        reads_out.write("@%s 1:N:0:1\n%s\n+\n%s\n" % (name, seq, qual))
        if read2_out is not None:
            read2_out.write("@%s 2:N:0:1\n%s\n+\n%s\n" % (name, "".join(rng2.choices(BASES, k=r2_len)), r2_qual))
        truth_out.write("%s\t%s\t%s\t%s\t%s%s\n" % (name, barcode, kind, origin,
                                                    ",".join(map(str, positions)) or "-",
                                                    "\t%s\t%s" % (umi, umi_error) if mol_rng else ""))
        counts[(origin, kind)] = counts.get((origin, kind), 0) + 1
    return counts


def open_output(path, level):
    if path.endswith(".gz"):
        # mtime 0 and no file name in the header keep the bytes repeatable.
        raw = open(path, "wb")
        gz = gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=level)
        return io.TextIOWrapper(gz, encoding="ascii", newline="\n"), raw
    return open(path, "w", encoding="ascii", newline="\n"), None


def build_parser():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    src = p.add_mutually_exclusive_group(required=True)
    src.add_argument("--whitelist", help="barcode list to draw from (plain or gzip)")
    src.add_argument("--synthetic-whitelist", type=int, metavar="N",
                     help="synthesise a list of N entries with near neighbors instead")
    p.add_argument("--whitelist-out", help="write the synthesised list here")
    p.add_argument("--reads-out", required=True, help="FASTQ to write (.gz: gzip)")
    p.add_argument("--truth-out", required=True, help="truth TSV to write (.gz: gzip)")
    p.add_argument("--read2-out", help="also write a read 2 per read here (.gz: gzip)")
    p.add_argument("--read2-length", type=int, default=90, help="bases of read 2 (90)")
    p.add_argument("--reads", type=int, default=1000000, help="reads to simulate (1000000)")
    p.add_argument("--cells", type=int, default=3000, help="entries holding a cell (3000)")
    p.add_argument("--cell-sigma", type=float, default=1.0,
                   help="sigma of the log-normal reads per cell (1.0)")
    p.add_argument("--ambient-barcodes", default="30000",
                   help="entries holding no cell that still get reads, or 'all' (30000)")
    p.add_argument("--ambient-flat", action="store_true",
                   help="every ambient entry equally likely (default: Pareto weights)")
    p.add_argument("--ambient-fraction", type=float, default=0.08,
                   help="share of the reads from those entries (0.08)")
    p.add_argument("--mix", default=DEFAULT_MIX, help="error classes and shares (%s)" % DEFAULT_MIX)
    p.add_argument("--uncalibrated", type=float, default=0.1,
                   help="share of errors placed regardless of quality (0.1)")
    p.add_argument("--barcode-length", type=int, default=16)
    p.add_argument("--umi-length", type=int, default=12)
    p.add_argument("--tail-length", type=int, default=0, help="bases after the UMI (0)")
    p.add_argument("--molecule-reads", type=int, default=0,
                   help="reads of a molecule: 1 to this many share its UMI (0: a new UMI every read)")
    p.add_argument("--umi-error", type=float, default=0.05,
                   help="with --molecule-reads, the share of reads whose UMI has one substitution (0.05)")
    p.add_argument("--seed", type=int, default=20261206)
    p.add_argument("--compress-level", type=int, default=6, help="gzip level of .gz outputs (6)")
    return p


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        if args.synthetic_whitelist is not None:
            whitelist = synthetic_whitelist(random.Random(args.seed ^ 0x5A5A), args.synthetic_whitelist,
                                            args.barcode_length)
            if args.whitelist_out:
                with open(args.whitelist_out, "w", encoding="ascii", newline="\n") as f:
                    f.write("\n".join(whitelist) + "\n")
        else:
            whitelist = read_whitelist(args.whitelist)
        reads_out, reads_raw = open_output(args.reads_out, args.compress_level)
        truth_out, truth_raw = open_output(args.truth_out, args.compress_level)
        read2_out, read2_raw = (open_output(args.read2_out, args.compress_level) if args.read2_out
                                else (None, None))
        with reads_out, truth_out:
            counts = simulate(args, whitelist, reads_out, truth_out, read2_out)
        if read2_out is not None:
            read2_out.close()
        for raw in (reads_raw, truth_raw, read2_raw):
            if raw:
                raw.close()
    except (OSError, ValueError) as e:
        print("simulate_run: %s" % e, file=sys.stderr)
        return 1
    total = sum(counts.values())
    print("simulate_run: %d reads (%d cells, %s ambient barcodes, whitelist of %d)"
          % (total, args.cells, str(args.ambient_barcodes), len(whitelist)), file=sys.stderr)
    for origin in ("cell", "ambient"):
        row = ", ".join("%s %d" % (k, counts.get((origin, k), 0)) for k in CLASSES)
        print("  %-8s %s" % (origin, row), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
