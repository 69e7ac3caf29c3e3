#!/usr/bin/env python3
"""Scores a `velmora assign` TSV against the truth of a simulated run.

    python3 bench/evaluate_run.py --truth truth.tsv --assignments assignments.tsv [--targets]

For the cells' reads and the ambient reads apart, and per error class, prints
the share of reads assigned to their true barcode, assigned to another one,
and left unassigned, then the wrongly assigned reads as a share of all
assigned reads, as Markdown tables.  --targets adds the accuracy targets of
the rescue at --max-edits 1 and whether each is met.  Several
--assignments LABEL=FILE give one table comparing the runs instead.

The TSV's columns are found by the names on its header line (`read`,
`assigned`, ...); a file without a header line is read as the seven columns
read, observed, status, assigned, distance, second_distance, hits.  Either
file may be gzip.  Every read of the truth must appear exactly once.
"""

import argparse
import gzip
import io
import sys

CLASSES = ("exact", "sub1", "del", "ins", "n", "sub2")
CLASS_NAMES = {
    "exact": "barcode exact",
    "sub1": "one substitution",
    "del": "one deletion inside the barcode",
    "ins": "one insertion inside the barcode",
    "n": "one N",
    "sub2": "two substitutions",
}
ORIGINS = ("cell", "ambient")
LEGACY_COLUMNS = ("read", "observed", "status", "assigned", "distance", "second_distance", "hits")

# (label, origin, classes, measure, bound): measure "correct" must reach the
# bound, "wrong" must stay at or below it; both in % of the classes' reads.
TARGETS = (
    ("cells, one substitution: assigned correctly", "cell", ("sub1",), "correct", 98.5),
    ("cells, one indel: assigned correctly", "cell", ("del", "ins"), "correct", 95.0),
    ("cells, one N: assigned correctly", "cell", ("n",), "correct", 99.0),
    ("cells, one substitution: assigned wrongly", "cell", ("sub1",), "wrong", 0.3),
    ("cells, one indel: assigned wrongly", "cell", ("del", "ins"), "wrong", 2.5),
    ("cells, two substitutions: assigned wrongly", "cell", ("sub2",), "wrong", 4.0),
)
ALL_ASSIGNED_WRONG_BOUND = 0.25


class InputError(Exception):
    pass


def open_text(path):
    if path == "-":
        return sys.stdin
    with open(path, "rb") as f:
        magic = f.read(2)
    if magic == b"\x1f\x8b":
        return io.TextIOWrapper(gzip.open(path, "rb"), encoding="ascii")
    return open(path, encoding="ascii")


def read_truth(path):
    """{read name: (true barcode, error class, origin)}"""
    truth = {}
    with open_text(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        try:
            cols = [header.index(c) for c in ("read", "barcode", "error", "origin")]
        except ValueError:
            raise InputError("%s: the header line must name read, barcode, error and origin" % path)
        for n, line in enumerate(f, start=2):
            fields = line.rstrip("\n").split("\t")
            if len(fields) < len(header):
                raise InputError("%s line %d: %d fields, expected %d" % (path, n, len(fields), len(header)))
            name, barcode, kind, origin = (fields[c] for c in cols)
            if kind not in CLASSES or origin not in ORIGINS:
                raise InputError("%s line %d: unknown error class or origin" % (path, n))
            if name in truth:
                raise InputError("%s line %d: read '%s' twice" % (path, n, name))
            truth[name] = (barcode, kind, origin)
    return truth


def read_assignments(path):
    """{read name: assigned barcode or None}"""
    assigned = {}
    with open_text(path) as f:
        first = f.readline().rstrip("\n").split("\t")
        if first and first[0] == "read":
            header, pending = first, []
        else:
            header, pending = list(LEGACY_COLUMNS), [first]
        try:
            read_col, assigned_col = header.index("read"), header.index("assigned")
        except ValueError:
            raise InputError("%s: the header line must name the columns read and assigned" % path)
        width = max(read_col, assigned_col) + 1

        def lines():
            yield from pending
            for line in f:
                yield line.rstrip("\n").split("\t")

        for n, fields in enumerate(lines(), start=1):
            if fields == [""]:
                continue
            if len(fields) < width:
                raise InputError("%s line %d: too few fields" % (path, n))
            name, bc = fields[read_col], fields[assigned_col]
            if name in assigned:
                raise InputError("%s line %d: read '%s' twice" % (path, n, name))
            assigned[name] = None if bc in ("-", "") else bc
    return assigned


def tally(truth, assigned):
    """{(origin, class): [reads, correct, wrong]}"""
    missing = [name for name in truth if name not in assigned]
    extra = [name for name in assigned if name not in truth]
    if missing or extra:
        raise InputError("the assignments lack %d reads of the truth and hold %d reads it lacks (e.g. %s)"
                         % (len(missing), len(extra), (missing + extra)[0]))
    counts = {(o, k): [0, 0, 0] for o in ORIGINS for k in CLASSES}
    for name, (barcode, kind, origin) in truth.items():
        c = counts[(origin, kind)]
        c[0] += 1
        got = assigned[name]
        if got is not None:
            c[1 if got == barcode else 2] += 1
    return counts


def pct(part, whole):
    return 100.0 * part / whole if whole else 0.0


def fmt(value):
    return "%.2f%%" % value


def merged(counts, origin, kinds):
    reads = sum(counts[(origin, k)][0] for k in kinds)
    correct = sum(counts[(origin, k)][1] for k in kinds)
    wrong = sum(counts[(origin, k)][2] for k in kinds)
    return reads, correct, wrong


def accuracy_table(counts, origin):
    rows = ["| read class | reads | assigned correctly | assigned wrongly | unassigned |",
            "|---|---:|---:|---:|---:|"]
    for label, kinds in [(CLASS_NAMES[k], (k,)) for k in CLASSES] + [("all", CLASSES)]:
        reads, correct, wrong = merged(counts, origin, kinds)
        if reads == 0:
            continue
        name = "**%s**" % label if label == "all" else label
        rows.append("| %s | %d | %s | %s | %s |" % (name, reads, fmt(pct(correct, reads)), fmt(pct(wrong, reads)),
                                                   fmt(pct(reads - correct - wrong, reads))))
    return "\n".join(rows)


def wrong_of_assigned(counts):
    assigned = wrong = 0
    for c in counts.values():
        assigned += c[1] + c[2]
        wrong += c[2]
    return wrong, assigned


def target_table(counts):
    rows = ["| target | result | met |", "|---|---:|---|"]
    for label, origin, kinds, measure, bound in TARGETS:
        reads, correct, wrong = merged(counts, origin, kinds)
        value = pct(correct if measure == "correct" else wrong, reads)
        ok = value >= bound if measure == "correct" else value <= bound
        rows.append("| %s %s %s%% | %s | %s |" % (label, ">=" if measure == "correct" else "<=", bound,
                                                 fmt(value), "met" if ok else "**missed**"))
    wrong, assigned = wrong_of_assigned(counts)
    value = pct(wrong, assigned)
    rows.append("| all reads, ambient included: wrongly assigned <= %s%% of assigned | %s | %s |"
                % (ALL_ASSIGNED_WRONG_BOUND, fmt(value), "met" if value <= ALL_ASSIGNED_WRONG_BOUND else "**missed**"))
    return "\n".join(rows)


def report(counts, with_targets):
    out = []
    for origin, title in (("cell", "Cells' reads"), ("ambient", "Ambient reads")):
        if any(counts[(origin, k)][0] for k in CLASSES):
            out.append("%s:\n\n%s\n" % (title, accuracy_table(counts, origin)))
    wrong, assigned = wrong_of_assigned(counts)
    out.append("Wrongly assigned: %d of %d assigned reads (%s), ambient included.\n"
               % (wrong, assigned, fmt(pct(wrong, assigned))))
    if with_targets:
        out.append(target_table(counts) + "\n")
    return "\n".join(out)


def comparison(runs):
    """One table over several runs: correct / wrong per class of the cells."""
    rows = ["| read class | " + " | ".join(label for label, _ in runs) + " |",
            "|---|" + "---:|" * len(runs)]
    lines = [("cells: " + CLASS_NAMES[k], "cell", (k,)) for k in CLASSES]
    lines.append(("cells: one indel (both kinds)", "cell", ("del", "ins")))
    lines.append(("ambient: all", "ambient", CLASSES))
    for label, origin, kinds in lines:
        cells = []
        for _, counts in runs:
            reads, correct, wrong = merged(counts, origin, kinds)
            cells.append("%s / %s" % (fmt(pct(correct, reads)), fmt(pct(wrong, reads))))
        rows.append("| %s | %s |" % (label, " | ".join(cells)))
    cells = []
    for _, counts in runs:
        wrong, assigned = wrong_of_assigned(counts)
        cells.append(fmt(pct(wrong, assigned)))
    rows.append("| wrongly assigned, %% of all assigned | %s |" % " | ".join(cells))
    return "\n".join(rows) + "\n"


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--truth", required=True, help="truth TSV of bench/simulate_run.py")
    p.add_argument("--assignments", required=True, action="append", metavar="[LABEL=]FILE",
                   help="velmora assign TSV ('-': standard input); given more than once, one table "
                        "compares the runs (assigned correctly / wrongly per class)")
    p.add_argument("--targets", action="store_true", help="also check the accuracy targets")
    args = p.parse_args(argv)
    try:
        truth = read_truth(args.truth)
        runs = []
        for item in args.assignments:
            label, _, path = item.rpartition("=")
            runs.append((label or path, tally(truth, read_assignments(path))))
    except (OSError, InputError) as e:
        print("evaluate_run: %s" % e, file=sys.stderr)
        return 1
    if len(runs) > 1:
        sys.stdout.write(comparison(runs))
    else:
        sys.stdout.write(report(runs[0][1], args.targets))
    return 0


if __name__ == "__main__":
    sys.exit(main())
