// velmora tag: the command-line shell over the pipeline's tag job
// (pipeline/tag.h): options in, the job run, the summary and the exit status
// out.  The matching options are assign's (matching.h).
#include <cstdio>
#include <string>

#include "base.h"
#include "cli.h"
#include "commands.h"
#include "matching.h"
#include "tag.h"

namespace velmora_tool {

using namespace velmora_pipeline;

namespace {

const char tag_help[] =
    "usage: velmora tag --whitelist FILE --bam FILE --out FILE\n"
    "                   (--max-edits K | --max-mismatches K)\n"
    "                   [--barcode-tag CR] [--quality-tag CY] [--barcode-from-name REGEX]\n"
    "                   [--missing-barcode fail|pass] [--umi-tag UR] [--no-umi-correct]\n"
    "                   [--summary FILE]\n"
    "                   [--no-rescue] [--fixed-window] [--min-exact N] [--prior-pseudocount X]\n"
    "                   [--indel-weight W] [--min-posterior P] [--threads N] [--batch-size N]\n"
    "                   [--max-line-length BYTES]\n"
    "\n"
    "Corrects the cell barcode of every record of a BAM file (aligned or not) against\n"
    "a whitelist and writes the records back, in input order, with the corrected\n"
    "barcode as CB:Z on those assigned.\n"
    "\n"
    "Input:\n"
    "  --whitelist FILE     one barcode per line, as for velmora assign\n"
    "  --bam FILE           BAM (or SAM); '-' reads standard input, which is first\n"
    "                       copied to a temporary file in TMPDIR (the file is read\n"
    "                       twice, once more with --umi-tag; with --no-rescue once\n"
    "                       less, and a file read once is not copied)\n"
    "  --barcode-tag TAG    the raw barcode: the whole value of this string tag\n"
    "                       (default CR)\n"
    "  --quality-tag TAG    its qualities, Phred + 33 (default CY; '' for none).  A\n"
    "                       record without them, or with a value of another length,\n"
    "                       is decided at the error probability of a read without\n"
    "                       qualities (Q30)\n"
    "  --barcode-from-name REGEX  instead of --barcode-tag: the first capture group\n"
    "                       of the first match of this regular expression (POSIX\n"
    "                       extended) in the read name, e.g. '_([ACGTN]+)$'\n"
    "  --missing-barcode fail|pass  a record without a barcode (no such tag, a name\n"
    "                       that does not match): fail (default) stops the run with an\n"
    "                       error naming it, and writes nothing; pass writes it\n"
    "                       without CB and counts it in the summary\n"
    "  --umi-tag TAG        the raw UMI: the whole value of this string tag (e.g. UR).\n"
    "                       UMIs are corrected within each cell (the record's CB):\n"
    "                       a UMI seen n times is taken into a UMI one substitution\n"
    "                       away seen at least 2n - 1 times.  The counts are of the\n"
    "                       records that count a barcode, assigned a CB, with a UMI\n"
    "                       of A/C/G/T (either case) of the first such UMI's length\n"
    "                       (32 bases at most).  Every record assigned a CB whose\n"
    "                       UMI is of that kind gets UB:Z, the corrected UMI in upper\n"
    "                       case; an input UB is removed from every record.  The file\n"
    "                       is then read once more, to write it\n"
    "  --no-umi-correct     with --umi-tag: UB is the UMI as read, in upper case\n"
    "\n"
    "Matching and rescue, as velmora assign (see velmora assign --help): the\n"
    "barcode is the whole raw value, compared with entries of any length.\n"
    "  --max-edits K | --max-mismatches K   the bound (one for the barcode)\n"
    "  --fixed-window       with --max-edits, no moving window end\n"
    "  --no-rescue          the distance rule only (one pass over the file)\n"
    "  --min-exact N, --prior-pseudocount X, --indel-weight W, --min-posterior P\n"
    "  The rescue's prior is the count of templates whose raw barcode matches each\n"
    "  entry exactly, over the whole file: primary records only, and read 1 only\n"
    "  of a pair.  Every record is then decided; the records of one template carry\n"
    "  the same raw barcode and get the same CB.\n"
    "\n"
    "Output:\n"
    "  --out FILE           the BAM ('-': standard output): the input's header with a\n"
    "                       @PG line added (ID velmora, or velmora.1, ... when taken),\n"
    "                       every record in input order, CB:Z set on the records\n"
    "                       assigned; an input CB is removed from every record\n"
    "  --summary FILE       the counts as JSON: records, by status, passed without a\n"
    "                       barcode, and with --umi-tag the UMIs (umis)\n"
    "  Outputs are written to a temporary file, renamed into place once complete.\n"
    "\n"
    "  --threads N          threads (default: number of cores): N deciding, and an\n"
    "                       htslib pool of N for BGZF in and out\n"
    "  --batch-size N       records per batch handed to a thread (default 8192)\n"
    "  --max-line-length N  longest whitelist line accepted, in bytes (default 67108864)\n"
    "\n"
    "A summary goes to standard error at the end.  Exit status: 0 on success, 1 on\n"
    "a data or file error, 2 on a usage error.\n";

// Parses the command line; true when --help was given.
bool parse_tag_options(int argc, char **argv, tag_options *opt) {
    command_line cl("velmora tag", tag_help);
    assign_options &m = opt->match;
    std::string missing = "fail";
    cl.option("--whitelist", &m.whitelist_path, true);
    cl.option("--bam", &opt->bam_path, true);
    cl.option("--out", &opt->out.given, true);
    cl.option("--summary", &opt->summary.given);
    cl.option("--barcode-tag", &opt->barcode.tag);
    cl.option("--quality-tag", &opt->barcode.quality_tag);
    cl.option("--barcode-from-name", &opt->barcode.name_pattern);
    cl.excludes("--barcode-from-name", "--barcode-tag");
    cl.option("--missing-barcode", &missing);
    cl.option("--umi-tag", &opt->umi_tag);
    cl.flag("--no-umi-correct");
    matching_options matching(cl, &m);
    if (cl.parse(argc, argv)) return true;
    matching.apply(cl);
    if (!m.segment_bounds.empty()) throw usage_error("tag takes one bound (the barcode is one segment)");
    if (missing != "fail" && missing != "pass")
        throw usage_error("--missing-barcode: '" + missing + "' is neither fail nor pass");
    opt->pass_missing = missing == "pass";
    m.umi_correct = cl.count("--no-umi-correct") == 0;
    if (cl.count("--umi-tag") && opt->umi_tag.empty()) throw usage_error("--umi-tag needs a tag name");
    if (cl.count("--barcode-from-name") && opt->barcode.name_pattern.empty())
        throw usage_error("--barcode-from-name needs a regular expression");
    if (opt->out.given.empty()) throw usage_error("--out needs a file name or '-'");
    if (opt->summary.given == "-") throw usage_error("--summary needs a file name, not '-'");
    for (int i = 0; i < argc; ++i) m.command_line += (i ? " " : "") + std::string(argv[i]);
    return false;
}

}  // namespace

int run_tag(int argc, char **argv) {
    tag_options opt;
    if (parse_tag_options(argc, argv, &opt)) return exit_ok;
    const tag_report report = velmora_pipeline::run_tag(
        opt, [](const std::string &message) { std::fprintf(stderr, "velmora tag: %s\n", message.c_str()); });
    std::fputs(tag_summary_text(report).c_str(), stderr);
    return exit_ok;
}

}  // namespace velmora_tool
