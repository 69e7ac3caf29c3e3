#!/usr/bin/env python3
"""Turns the JSON output of velmora_bench into one Markdown table.

Every figure is the median over the repetitions (Google Benchmark's "median"
aggregate; with a single repetition, the run itself).  Rates are per second of
CPU time of the one benchmark thread.
"""
import json
import re
import sys
from collections import defaultdict

PAIR_LENGTHS = [16, 32, 64, 100, 150, 256, 512, 1000, 2000, 5000, 10000]
LISTS = ["rand16_1M", "real737K", "rand28_100K"]


def load(path):
    with open(path) as f:
        data = json.load(f)
    runs = defaultdict(list)
    medians = {}
    errors = {}
    for b in data["benchmarks"]:
        name = re.sub(r"/iterations:\d+$", "", b.get("run_name", b["name"]))
        if b.get("error_occurred"):
            errors[name] = b.get("error_message", "error")
            continue
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[name] = b
        else:
            runs[name].append(b)
    for name, rs in runs.items():
        if name not in medians:
            medians[name] = rs[len(rs) // 2]
    return data.get("context", {}), medians, errors


def rate(b):
    return b.get("items_per_second") if b else None


def fmt_rate(x):
    if x is None:
        return "-"
    for div, unit in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if x >= div:
            return "%.3g%s" % (x / div, unit)
    return "%.3g" % x


def fmt_ratio(x):
    if x is None:
        return "-"
    if x < 0.1:
        return "%.3fx" % x
    return "%.1fx" % x if x < 100 else "%.3gx" % x


def verdict(value, target):
    if target is None or value is None:
        return "report"
    return "met" if value >= target else "MISSED"


def main():
    ctx, med, errors = load(sys.argv[1])
    rows = []

    def add(workload, ours, peer_name, peer, target_text, target, ratio_target=True,
            notes=""):
        ratio = ours / peer if ours and peer else None
        checked = ratio if ratio_target else ours
        rows.append((workload, fmt_rate(ours), peer_name + " " + fmt_rate(peer) if peer else "-",
                     fmt_ratio(ratio), target_text, verdict(checked, target), notes))

    def pair(fn, length, kind):
        return med.get("pair/%s/%d/%s" % (fn, length, kind))

    for length in PAIR_LENGTHS:
        for kind in ("related", "unrelated"):
            tag = "%d %s" % (length, kind)
            t = 3.0 if length <= 64 else 1.5 if length <= 512 else 1.0
            add("vorn_edit_distance " + tag, rate(pair("distance", length, kind)), "edlib",
                rate(pair("edlib", length, kind)), ">= %gx edlib" % t if t else "report", t)
            for bound in ("k2", "k10"):
                b = pair("leq_" + bound, length, kind)
                k = int(b["k"]) if b and "k" in b else None
                if bound == "k10":
                    k = "%s (10%%)" % k
                peer = rate(pair("edlib_" + bound, length, kind))
                t = 2.0 if length <= 150 else 1.0
                ttext = ">= %gx edlib" % t
                add("vorn_edit_distance_leq k=%s %s" % (k, tag), rate(b), "edlib k", peer,
                    ttext, t)
                add("candidate_distance_within_k k=%s %s" % (k, tag),
                    rate(pair("cand_" + bound, length, kind)), "edlib k", peer, ttext, t)
            add("vorn_edit_distance_dp " + tag, rate(pair("dp", length, kind)), "", None,
                "report", None)

    targets_abs = {("assign_k1", "rand16_1M"): 300e3, ("hamming_k1", "rand16_1M"): 1e6}
    # Brute force with the same k is the peer of the edit-distance paths.
    peer_k = {"exact_one": 0, "exact_many": 0, "exact_ascii_one": 0, "exact_ascii_many": 0,
              "assign_k0": 0, "assign_k1": 1, "assign_k2": 2, "status_k1": 1, "status_k2": 2}
    for lst in LISTS:
        for op in ("exact_one", "exact_many", "exact_ascii_one", "exact_ascii_many",
                   "assign_k0", "assign_k1", "assign_k2", "status_k1", "status_k2",
                   "hamming_k1", "hamming_k2", "hamming_k3", "rescue_k1", "rescue_k2",
                   "brute_k0", "brute_k1", "brute_k2"):
            b = med.get("idx/%s/%s" % (op, lst))
            notes = []
            if b:
                for c in ("cand/q", "verif/q", "probes/q", "distinct/q"):
                    if c in b:
                        notes.append("%s %.4g" % (c, b[c]))
            target, ttext = None, "report"
            if lst == "rand16_1M":
                if op.startswith("exact"):
                    target, ttext = 3e6, ">= 3M/s"
                elif (op, lst) in targets_abs:
                    target = targets_abs[(op, lst)]
                    ttext = ">= %s/s" % fmt_rate(target)
            ours = rate(b)
            peer_name, peer = "-", None
            if op in peer_k:
                peer_name = "brute k=%d" % peer_k[op]
                peer = rate(med.get("idx/brute_k%d/%s" % (peer_k[op], lst)))
            ratio = ours / peer if ours and peer else None
            v = verdict(ours, target)
            if op == "assign_k1" and lst == "rand16_1M":
                ttext += "; >= 10000x brute"
                v = "%s; ratio %s" % (v, verdict(ratio, 1e4))
            rows.append(("%s %s" % (op, lst), fmt_rate(ours),
                         "%s %s" % (peer_name, fmt_rate(peer)) if peer else "-", fmt_ratio(ratio),
                         ttext, v, ", ".join(notes)))

    for lst in LISTS + ["rand16_3M"]:
        b = med.get("build/" + lst)
        if not b:
            err = [m for n, m in errors.items() if n.startswith("build/" + lst)]
            if err:
                rows.append(("build " + lst, "-", "-", "-", "", "skipped", err[0]))
            continue
        secs = b["real_time"] / 1e3 if b.get("time_unit") == "ms" else b["real_time"] / 1e9
        cpu = b["cpu_time"] / 1e3 if b.get("time_unit") == "ms" else b["cpu_time"] / 1e9
        notes = "CPU %.2f s; B/ref: resident %.0f, tables %.0f (refs %.0f, code %.0f, exact %.0f, " \
                "deletion %.0f, piece %.0f)" % (
                    cpu, b.get("rss_B/ref", 0), b.get("tables_B/ref", 0), b.get("refs_B/ref", 0),
                    b.get("code_B/ref", 0), b.get("exact_B/ref", 0), b.get("del_B/ref", 0),
                    b.get("piece_B/ref", 0))
        target = "< 2 s" if lst == "rand16_1M" else "report"
        v = ("met" if secs < 2 else "MISSED") if lst == "rand16_1M" else "report"
        rows.append(("build " + lst, "%.2f s" % secs, "-", "-", target, v, notes))

    print("| workload | libvelmora (median /s) | peer (median /s) | ratio | target | result | notes |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        if r[1] == "-" and r[5] != "skipped":
            continue
        print("| " + " | ".join(r) + " |")
    for name, msg in sorted(errors.items()):
        print("\nERROR %s: %s" % (name, msg))
    print("\nmachine: %s CPUs at %s MHz, caches %s; load %s" % (
        ctx.get("num_cpus"), ctx.get("mhz_per_cpu"),
        ", ".join("L%d %dK" % (c["level"], c["size"] // 1024) for c in ctx.get("caches", [])),
        ctx.get("load_avg")))


if __name__ == "__main__":
    main()
