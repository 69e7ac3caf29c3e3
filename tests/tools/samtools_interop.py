"""The tagged outputs as the tools around the step read them: samtools reads
the unaligned BAM, and `samtools import -T '*'` carries the tags of the
tagged FASTQ into SAM records unchanged.  Run by CTest when samtools is
installed; argv: the velmora tool, the demo data folder, a work folder."""
import os
import subprocess
import sys


def main() -> int:
    tool, data, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    reads = os.path.join(data, "reads.fastq.gz")
    fq, bam = os.path.join(work, "tagged.fq"), os.path.join(work, "unaligned.bam")
    # The demo reads as both files of a lane: read 1's 16C12M, read 2's
    # bases the template.
    subprocess.run([tool, "assign", "--read-structure", "16C12M", "+T",
                    "--whitelist", os.path.join(data, "whitelist.txt"), "--reads", reads, reads,
                    "--max-edits", "1", "--out", os.path.join(work, "t.tsv"),
                    "--out-fastq", fq, "--out-bam", bam], check=True, stderr=subprocess.DEVNULL)
    with open(fq) as f:
        headers = f.read().split("\n")[0::4][:-1]
    want = [h[1:].split("\t") for h in headers]  # name, then the tags

    def records(cmd):
        sam = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
        return [line.split("\t") for line in sam.splitlines() if not line.startswith("@")]

    imported = records(["sh", "-c", f"samtools import -T '*' -0 '{fq}' | samtools view -"])
    written = records(["samtools", "view", bam])
    problems = []
    for name, got in (("samtools import of the FASTQ", imported), ("samtools view of the BAM", written)):
        if len(got) != len(want):
            problems.append(f"{name}: {len(got)} records for {len(want)} reads")
            continue
        for w, g in zip(want, got):
            if g[0] != w[0] or sorted(g[11:]) != sorted(w[1:]) or g[1] != "4":
                problems.append(f"{name}: {g[:2] + g[11:]} for {w}")
                break
    assigned = sum(1 for w in want if any(t.startswith("CB:Z:") for t in w[1:]))
    if assigned == 0:
        problems.append("no read carries CB:Z:")
    for p in problems:
        print(p)
    print(f"{len(want) - len(problems)} passed, {len(problems)} failed" if problems else
          f"{len(want)} records carried their {sum(len(w) - 1 for w in want)} tags")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
