#!/usr/bin/env python3
"""Per-query cost of the Python binding against the bare C call.

Builds an index over a whitelist (the real list when
../shared/data/whitelist-737K-v2.txt.gz or $VELMORA_WHITELIST exists, else
1,000,000 random 16-base references), draws batches of reads (85% exact, 10%
one substitution, 3% one insertion or deletion, 1% two edits, 1% one N) and
times, in CPU seconds, for each batch:

  C       vorn_index_assign_stats on ready-made pointer and length arrays
          (one ctypes call: the library's own time);
  Python  Index.assign(list of str, k), everything included: the list is
          turned into the library's arrays and the records into Match tuples.

Usage: PYTHONPATH=build/python bench/python_overhead.py [--k 1] [--batch 10000]
"""

import argparse
import array
import gzip
import os
import random
import statistics
import time

import velmora
from velmora import _native


def whitelist():
    path = os.environ.get("VELMORA_WHITELIST",
                          os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data",
                                       "whitelist-737K-v2.txt.gz"))
    if os.path.exists(path):
        with gzip.open(path, "rt") as f:
            return [line.strip() for line in f if line.strip()], "real737K"
    rnd = random.Random(1)
    return ["".join(rnd.choices("ACGT", k=16)) for _ in range(1_000_000)], "rand16_1M"


def reads(refs, n, rnd):
    out = []
    for _ in range(n):
        s = list(rnd.choice(refs))
        roll = rnd.randrange(100)
        if roll < 85:
            pass
        elif roll < 95:
            s[rnd.randrange(len(s))] = rnd.choice("ACGT")
        elif roll < 98:
            if rnd.randrange(2):
                s.insert(rnd.randrange(len(s) + 1), rnd.choice("ACGT"))
            else:
                del s[rnd.randrange(len(s))]
        elif roll < 99:
            for _ in range(2):
                s[rnd.randrange(len(s))] = rnd.choice("ACGT")
        else:
            s[rnd.randrange(len(s))] = "N"
        out.append("".join(s))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--k", type=int, default=1)
    ap.add_argument("--batch", type=int, default=10_000)
    ap.add_argument("--reps", type=int, default=15)
    args = ap.parse_args()
    refs, name = whitelist()
    rnd = random.Random(2)
    lib = _native.lib()
    with velmora.Index(refs) as index:
        c_times, py_times = [], []
        for _ in range(args.reps):
            batch = reads(refs, args.batch, rnd)
            data = [s.encode() for s in batch]
            ptrs = (velmora.ctypes.c_char_p * len(data))(*data)
            lens = (velmora.ctypes.c_size_t * len(data))(*map(len, data))
            out = (_native.VornMatch * len(data))()
            stats = _native.VornStats()
            t0 = time.process_time()
            lib.vorn_index_assign_stats(index._handle, velmora.ctypes.addressof(ptrs),
                                        velmora.ctypes.addressof(lens), len(data), args.k,
                                        velmora.ctypes.addressof(out), velmora.ctypes.byref(stats))
            t1 = time.process_time()
            got = index.assign(batch, args.k)
            t2 = time.process_time()
            assert [m.best_index for m in got[:50]] == \
                [None if r.best_index == 0xFFFFFFFF else r.best_index for r in out[:50]]
            c_times.append(t1 - t0)
            py_times.append(t2 - t1)
    c = statistics.median(c_times) / args.batch * 1e6
    p = statistics.median(py_times) / args.batch * 1e6
    print("list %s (%d refs), k = %d, batches of %d, median of %d (CPU us per query):"
          % (name, len(refs), args.k, args.batch, args.reps))
    print("  C call      %.3f" % c)
    print("  Python API  %.3f  (overhead %.3f us/query, %.2fx the C time)" % (p, p - c, p / c))


if __name__ == "__main__":
    main()
