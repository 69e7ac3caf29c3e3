"""Naive definitions the binding's results are checked against: plain
dynamic-programming edit distance, plain Hamming distance and the record
of one query against every reference, derived field by field; and what
the agreement tests share (the demo data, the tool)."""

import os
import random
import subprocess

ABSENT = None

# The demo data and the velmora tool (when built), for the agreement tests.
DATA = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples", "data")
WHITELIST = os.path.join(DATA, "whitelist.txt")
READS = os.path.join(DATA, "reads.fastq.gz")
TOOL = os.environ.get("VELMORA_TOOL")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run_tool(test, args):
    """`velmora assign` with args, which must succeed."""
    r = subprocess.run([TOOL, "assign"] + args, capture_output=True, text=True)
    test.assertEqual(r.returncode, 0, r.stderr)


def levenshtein(a, b):
    prev = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        cur = [i] + [0] * len(b)
        for j in range(1, len(b) + 1):
            cur[j] = min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1]))
        prev = cur
    return prev[len(b)]


def hamming(a, b):
    if len(a) != len(b):
        return None
    return sum(x != y for x, y in zip(a, b))


def record(distances, k):
    """(best_index, best_distance, second_distance, hit_count, status name,
    best_count) from the list of distances to every reference (None = not
    comparable)."""
    hits = sorted((d, r) for r, d in enumerate(distances) if d is not None and d <= k)
    if not hits:
        return (None, None, None, 0, "NONE", 0)
    best = hits[0][0]
    at_best = sum(1 for d, _ in hits if d == best)
    above = [d for d, _ in hits if d > best]
    return (hits[0][1], best, min(above) if above else None, len(hits),
            "AMBIGUOUS" if at_best >= 2 else "UNIQUE", at_best)


def fold(s):
    return bytes(c - 32 if 97 <= c <= 122 else c for c in s)


def seed():
    return int(os.environ.get("VELMORA_TEST_SEED", "20261206"))


class Generator:
    """Sequences aimed where faults live: near neighbors and duplicates of a
    small pool, N, lower case, bytes 0 and 255, lengths 0, 1 and 31 to 35."""

    LENGTHS = [0, 1, 2, 3, 8, 16, 31, 32, 33, 34, 35, 36]
    ODD = b"Nacgtn\x00\xff-U"

    def __init__(self, seed_value):
        self.rnd = random.Random(seed_value)

    def byte(self, noise):
        if self.rnd.randrange(100) < noise:
            return self.rnd.choice(self.ODD)
        return self.rnd.choice(b"ACGT")

    def seq(self, length, noise=5):
        return bytes(self.byte(noise) for _ in range(length))

    def length(self):
        return self.rnd.choice(self.LENGTHS) if self.rnd.randrange(100) < 70 \
            else self.rnd.randrange(0, 40)

    def mutate(self, s, edits, noise=5, substitutions_only=False):
        s = bytearray(s)
        for _ in range(edits):
            kind = 0 if substitutions_only else self.rnd.randrange(3)
            if kind == 0 and s:
                s[self.rnd.randrange(len(s))] = self.byte(noise)
            elif kind == 1:
                s.insert(self.rnd.randrange(len(s) + 1), self.byte(noise))
            elif s:
                del s[self.rnd.randrange(len(s))]
        return bytes(s)

    def references(self, n, noise=5):
        refs = []
        for _ in range(n):
            roll = self.rnd.randrange(100)
            if refs and roll < 15:
                refs.append(self.rnd.choice(refs))                     # duplicate
            elif refs and roll < 45:
                refs.append(self.mutate(self.rnd.choice(refs), self.rnd.randrange(1, 3), noise))
            else:
                refs.append(self.seq(self.length(), noise))
        return refs

    def queries(self, refs, n, noise=5, substitutions_only=False):
        out = []
        for _ in range(n):
            if refs and self.rnd.randrange(100) < 80:
                out.append(self.mutate(self.rnd.choice(refs), self.rnd.randrange(0, 4), noise,
                                       substitutions_only))
            else:
                out.append(self.seq(self.length(), noise))
        return out


def at_once(call, times):
    """Runs call() in `times` threads at once; the exceptions they raised."""
    import threading
    errors = []

    def run():
        try:
            call()
        except Exception as e:  # returned to the test
            errors.append(e)
    threads = [threading.Thread(target=run) for _ in range(times)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors
