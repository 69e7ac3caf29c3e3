#!/usr/bin/env bash
# Times velmora assign against bustools correct (Debian's bustools) on the
# same reads and list, interleaved, ROUNDS rounds; prints one line per run:
# the command's label, wall seconds, user + sys CPU seconds, peak RSS in KB.
#
# The peer corrects a BUS file, so its run is made end to end from the same
# gzip FASTQ: the 16-base barcode and 12-base UMI of each read cut out with
# zcat and awk, turned into BUS by bustools fromtext, corrected by bustools
# correct (one substitution), all in one pipeline.  Its time is the whole
# pipeline's; its CPU the sum over the pipeline's processes; its peak the
# largest process's.  It reads the list uncompressed (it takes no gzip); the
# decompression of the list is not counted for it.
#
# usage: bench/peer_bustools.sh VELMORA WHITELIST.txt.gz READS.fastq.gz ROUNDS [VELMORA_OLD]
set -euo pipefail
velmora=$1 wl_gz=$2 reads=$3 rounds=$4 old=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zcat "$wl_gz" > "$work/wl.txt"

run() {
  local label=$1; shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" > /dev/null 2> "$work/err" || { cat "$work/err"; exit 1; }
  awk -v l="$label" '{ printf "%-38s %7.2f s wall %7.2f s CPU %9d KB peak\n", l, $1, $2 + $3, $4 }' "$work/time"
}

peer() {
  zcat "$reads" | awk 'NR % 4 == 2 { print substr($0, 1, 16) "\t" substr($0, 17, 12) "\t0\t1" }' \
    | bustools fromtext -p - | bustools correct -w "$work/wl.txt" -o "$work/out.bus" -
}
export -f peer
export reads work

for ((r = 1; r <= rounds; r++)); do
  for v in "$velmora" $old; do
    tag=$([ "$v" = "$velmora" ] && echo new || echo old)
    run "velmora-$tag:edits1" "$v" assign --whitelist "$wl_gz" --reads "$reads" --max-edits 1 --threads 1 --out "$work/t.tsv"
    run "velmora-$tag:edits1-no-rescue" "$v" assign --whitelist "$wl_gz" --reads "$reads" --max-edits 1 --no-rescue --threads 1 --out "$work/t.tsv"
    run "velmora-$tag:mismatches1" "$v" assign --whitelist "$wl_gz" --reads "$reads" --max-mismatches 1 --threads 1 --out "$work/t.tsv"
    run "velmora-$tag:mismatches1-no-rescue" "$v" assign --whitelist "$wl_gz" --reads "$reads" --max-mismatches 1 --no-rescue --threads 1 --out "$work/t.tsv"
  done
  run "bustools:fromtext+correct" bash -c peer
done
