// velmora assign: the command-line shell over the pipeline's assign job
// (pipeline/assign.h): options in, the job run, the summary and the exit
// status out.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "assign.h"
#include "base.h"
#include "cli.h"
#include "commands.h"
#include "matching.h"

namespace velmora_tool {

using namespace velmora_pipeline;

namespace {

const char assign_help[] =
    "usage: velmora assign --whitelist FILE --reads FILE [--reads FILE ...]\n"
    "                      (--max-edits K | --max-mismatches K) [--barcode-start S]\n"
    "                      [--barcode-length N] [--out FILE]\n"
    "       velmora assign --read-structure RS [RS ...]\n"
    "                      --whitelist FILE [--whitelist FILE ...]\n"
    "                      --reads R1 [R2 ...] [--reads R1 [R2 ...] ...]\n"
    "                      (--max-edits K[,K...] | --max-mismatches K[,K...]) [--out FILE]\n"
    "                      [--out-fastq FILE [FILE ...]] [--out-bam FILE]\n"
    "                      [--summary FILE] [--counts FILE] [--knee-plot FILE.svg]\n"
    "                      [--cells FILE]\n"
    "                      [--no-rescue] [--fixed-window] [--no-umi-correct] [--min-exact N]\n"
    "                      [--prior-pseudocount X] [--indel-weight W] [--min-posterior P]\n"
    "                      [--threads N] [--batch-size N] [--max-line-length BYTES]\n"
    "\n"
    "Assigns the barcode of every read of a FASTQ file, or of the files of the lanes\n"
    "of one library, to a whitelist entry.\n"
    "\n"
    "Input:\n"
    "  --whitelist FILE     one barcode per line, plain or gzip; blank lines and lines\n"
    "                       starting with '#' are skipped, and so are entries that\n"
    "                       repeat an earlier one (reads are assigned against the\n"
    "                       distinct entries)\n"
    "  --reads FILE         FASTQ, plain or gzip (detected by content); '-' reads stdin.\n"
    "                       Given once per lane (--reads L1.fq.gz --reads L2.fq.gz),\n"
    "                       the files are read in that order as one run: one table,\n"
    "                       and the rescue's exact counts pooled over them.  With the\n"
    "                       rescue the reads are read twice: standard input, a pipe\n"
    "                       or a FIFO is first copied to a temporary file in TMPDIR\n"
    "                       (default /tmp), deleted from the start, gzip-compressed\n"
    "                       (gzip input is copied as it is)\n"
    "  --barcode-start S    0-based position of the barcode in the read (default 0)\n"
    "  --barcode-length N   barcode length (default: the whitelist's, when all entries\n"
    "                       share one length; required when they do not)\n"
    "\n"
    "Read structures (instead of --barcode-start/--barcode-length):\n"
    "  --read-structure RS ...  the layout of each file of a lane, one per file in\n"
    "                       order: segments of a length and a kind, C cell barcode, B\n"
    "                       sample barcode, M UMI, T template, S skip; '+' for the rest\n"
    "                       of the read, last only (--read-structure 16C12M +T; a\n"
    "                       split-pool read 8C30S8C30S8C10M).\n"
    "                       Bases past the last segment are ignored; a read shorter\n"
    "                       than its structure is invalid.  A barcode's window may\n"
    "                       move by K when it is followed by M, S, T or the read's end\n"
    "  With read structures, each --reads is a lane: its files, one per structure\n"
    "  (--reads L1_R1.fq.gz L1_R2.fq.gz --reads L2_R1.fq.gz L2_R2.fq.gz).  The files\n"
    "  of a lane must hold the same reads in the same order (names compared up to a\n"
    "  '/1', '/2' suffix).  --whitelist is given once for every barcode segment (C\n"
    "  and B), or once per barcode segment in order.  Each segment is corrected on\n"
    "  its own and has its own exact counts; a read is assigned when every barcode\n"
    "  segment is, and its cell is its corrected C segments joined by '-'.  The bound\n"
    "  (--max-edits or --max-mismatches) is one for all segments, or one per barcode\n"
    "  segment in order, comma-separated (--max-edits 1,1,0).\n"
    "  --max-line-length N  longest line accepted in the reads or the whitelist, in\n"
    "                       bytes (default 67108864); a longer one is an error\n"
    "\n"
    "Matching:\n"
    "  --max-edits K        edit distance (substitutions, insertions, deletions) of at\n"
    "                       most K; K = 0, 1, 2 use the index, larger K compares every\n"
    "                       read with every entry (slow on large whitelists)\n"
    "  --max-mismatches K   substitutions only (Hamming distance), K = 0 to 3; the\n"
    "                       window stays fixed and only entries of its length match\n"
    "  --fixed-window       with --max-edits, compare the barcode window only; by\n"
    "                       default a read that is not an exact, unique match is also\n"
    "                       compared with its window's end moved by up to K bases, so\n"
    "                       an insertion or deletion inside the barcode costs one edit\n"
    "\n"
    "Rescue of reads that are not an exact, unique match:\n"
    "  --no-umi-correct     count a barcode's UMIs as read, without grouping a UMI with\n"
    "                       a neighbour one substitution away seen at least 2n - 1\n"
    "                       times (n: its own reads) within the barcode\n"
    "  --no-rescue          the distance rule only: assign when one entry alone lies at\n"
    "                       the best distance (one pass over the reads)\n"
    "  --min-exact N        an entry is a candidate only when at least N reads match it\n"
    "                       exactly (default 1)\n"
    "  --prior-pseudocount X  the prior of a candidate without exact reads (one only\n"
    "                       with --min-exact 0; default 1)\n"
    "  --indel-weight W     an inserted or deleted base costs the error probability of\n"
    "                       the base next to it times W (default 0.1)\n"
    "  --min-posterior P    assign the top candidate when its posterior is at least P\n"
    "                       (default 0.975)\n"
    "  The posterior of candidate c, over the candidates C of the read:\n"
    "    P(c | read) = prior(c) L(read | c) / sum over d in C of prior(d) L(read | d)\n"
    "    prior(c) = exact reads of c + X; L = product over the aligned bases of\n"
    "    1 - p for a match, p / 3 for a substitution, W p for an indel, with p the\n"
    "    base's error probability from its Phred quality (the neighbor's for a\n"
    "    deletion).\n"
    "\n"
    "Output:\n"
    "  --out FILE           the table (default or '-': standard output)\n"
    "  --summary FILE       the summary as JSON, knee curve included\n"
    "  --counts FILE        reads per barcode, most first: barcode, exact, rescued, total;\n"
    "                       with M segments also umis, the barcode's distinct UMIs\n"
    "                       once corrected (molecules)\n"
    "  --knee-plot FILE     reads per barcode against barcode rank, log-log, as SVG:\n"
    "                       all reads, exact and rescued apart, and the cells' threshold\n"
    "  --cells FILE         the barcodes called cells, one per line, most reads first:\n"
    "                       those above the valley between the ambient and the cell\n"
    "                       modes of log reads per barcode (see the README)\n"
    "  --out-fastq FILE ... with read structures: the template (T) bases of each read,\n"
    "                       one file per file holding T segments, in order; the header\n"
    "                       holds the read name, then tab-separated SAM tags: CB:Z:\n"
    "                       corrected cell barcode (assigned reads only), CR:Z: and\n"
    "                       CY:Z: raw cell barcode and its qualities, UR:Z: and UY:Z:\n"
    "                       the UMI, BC:Z: and QT:Z: the sample barcode (segments\n"
    "                       joined by '-', their qualities by ' '), as minimap2 -y\n"
    "                       and bwa mem -C copy them into SAM records\n"
    "  --out-bam FILE       with read structures: unaligned BAM, one unmapped record\n"
    "                       per template read with the same tags (paired flags with\n"
    "                       two files holding T segments), input order\n"
    "  A name ending in .gz is written gzip-compressed.  A new path or a regular file\n"
    "  is written to a temporary file, renamed into place once every output is\n"
    "  complete; a FIFO or device is written directly; a symlink's target is replaced.\n"
    "  An output that names an input or another output is refused before any work.\n"
    "\n"
    "  --threads N          assignment threads (default: number of cores); with N > 1\n"
    "                       the main thread reads and writes alongside them\n"
    "  --batch-size N       reads per batch handed to a thread (default 8192)\n"
    "\n"
    "The table starts with a header line, then one tab-separated line per read, in\n"
    "input order:\n"
    "  read             read name (header up to the first space)\n"
    "  observed         the barcode window, upper-cased\n"
    "  status           unique (assigned), ambiguous (entries within K but none\n"
    "                   assigned), none (no entry within K) or invalid (the window\n"
    "                   runs past the end of the read)\n"
    "  assigned         the assigned entry\n"
    "  distance         best distance; second_distance: the next larger within K\n"
    "  hits             entries within K\n"
    "  posterior        the top candidate's posterior\n"
    "  candidates       entries within K, closest first, at most 8, comma-separated\n"
    "With several barcode segments the table is: read, status (of the read: unique\n"
    "when every segment is), cell, failed_segment (the first segment not assigned,\n"
    "e.g. C2, or R2 when read 2 is shorter than its structure; '-' when assigned),\n"
    "then the columns above from observed to candidates for each segment, named\n"
    "observed_C1, status_C1, ... observed_C2, ...\n"
    "With UMI segments (M) the table ends with umi (as read) and umi_corrected\n"
    "(corrected within its cell; '-' when not counted), and tagged reads carry UB.\n"
    "A '-' marks an absent value.  Exact, unique matches are not rescued: their\n"
    "distances and hits are those of the fixed window, with no posterior and no\n"
    "candidates listed.  Lower-case bases in reads are read as upper case (with a\n"
    "warning); N never matches A, C, G or T.\n"
    "\n"
    "A summary goes to standard error at the end.  Exit status: 0 on success, 1 on\n"
    "a data or file error, 2 on a usage error.\n";

// Parses the command line; true when --help was given.
bool parse_assign_options(int argc, char **argv, assign_options *opt) {
    command_line cl("velmora assign", assign_help);
    std::string out_path = "-";
    uint64_t length = 0;
    cl.option("--whitelist", &opt->whitelist_paths, true);
    std::vector<std::vector<std::string>> structures, fastq_paths, lanes;
    cl.option("--read-structure", &structures);
    cl.option("--out-fastq", &fastq_paths);
    cl.option("--out-bam", &opt->out_bam.given);
    cl.option("--reads", &lanes, true);
    cl.option("--out", &out_path);
    cl.option("--summary", &opt->summary.given);
    cl.option("--counts", &opt->counts.given);
    cl.option("--knee-plot", &opt->knee.given);
    cl.option("--cells", &opt->cells.given);
    cl.option("--barcode-start", &opt->barcode_start, 0, uint64_t{INT64_MAX});
    cl.option("--barcode-length", &length, 0, uint64_t{INT64_MAX});
    matching_options matching(cl, opt);
    cl.flag("--no-umi-correct");
    if (cl.parse(argc, argv)) return true;
    matching.apply(cl);
    for (const auto &group : structures) opt->read_structures.insert(opt->read_structures.end(), group.begin(), group.end());
    for (const auto &group : fastq_paths)
        for (const std::string &p : group) opt->out_fastq.emplace_back("--out-fastq", "tagged FASTQ", p);
    for (const auto &lane : lanes) {
        if (lane.size() > 1 && opt->read_structures.empty())
            throw usage_error("--reads takes one file per lane without --read-structure (several files of a "
                              "lane are read 1, read 2, ... of one run, each with its structure)");
        opt->reads_paths.insert(opt->reads_paths.end(), lane.begin(), lane.end());
    }
    if (!opt->read_structures.empty()) opt->lanes = lanes;
    opt->whitelist_path = opt->whitelist_paths.front();
    if (opt->whitelist_paths.size() == 1 && opt->read_structures.empty()) opt->whitelist_paths.clear();
    for (int i = 0; i < argc; ++i) opt->command_line += (i ? " " : "") + std::string(argv[i]);

    if (!opt->segment_bounds.empty() && opt->read_structures.empty())
        throw usage_error("one bound per barcode segment needs --read-structure");
    opt->has_barcode_length = cl.count("--barcode-length") > 0;
    opt->barcode_length = length;
    opt->umi_correct = cl.count("--no-umi-correct") == 0;
    if (!opt->umi_correct && opt->read_structures.empty())
        throw usage_error("--no-umi-correct needs a --read-structure with an M segment");
    opt->out.given = out_path.empty() ? "-" : out_path;
    for (output_target *t : {&opt->summary, &opt->counts, &opt->knee, &opt->cells})
        if (t->given == "-") throw usage_error(t->option + " needs a file name, not '-'");
    return false;
}

}  // namespace

int run_assign(int argc, char **argv) {
    assign_options opt;
    if (parse_assign_options(argc, argv, &opt)) return exit_ok;
    const assign_report report = velmora_pipeline::run_assign(opt, [](const std::string &message) {
        std::fprintf(stderr, "velmora assign: %s\n", message.c_str());
    });
    std::fputs(summary_text(report).c_str(), stderr);
    const std::string unassigned = unassigned_warning(report);
    if (!unassigned.empty()) std::fprintf(stderr, "velmora assign: %s\n", unassigned.c_str());
    return exit_ok;
}

}  // namespace velmora_tool
