// The tag job: BAM records read and written through htslib, their barcodes
// decided in batches on worker threads.
//
// Each pass runs the records through run_in_order: the calling thread reads
// a batch (htslib decodes the records; its thread pool inflates the BGZF
// blocks ahead), a worker takes the barcodes out of the records and, in the
// second pass, decides them and rewrites the records' CB, and the calling
// thread then counts or writes the batch in input order (htslib's pool
// deflating).  With UMIs the second pass writes nothing: the calling thread
// counts the (cell, UMI) pairs and holds the batch's decisions, and a third
// pass, in the same batches, sets CB and UB on the workers.  A record
// without a barcode is only marked on the worker; the calling thread raises
// it in input order, so the error names the first such record of the file
// whatever the threads did.
#include "tag.h"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/sam.h>
#include <htslib/thread_pool.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "bam.h"
#include "base.h"
#include "decide.h"
#include "io.h"
#include "json.h"
#include "ordered.h"
#include "progress.h"
#include "spool.h"
#include "umi.h"
#include "whitelist.h"

namespace velmora_pipeline {

namespace {

// Where the corrected barcode and the corrected UMI go.
constexpr char corrected_tag[] = "CB";
constexpr char corrected_umi_tag[] = "UB";

// A record's UMI as the second pass finds it, for the records that count:
// its length, or one of these.
constexpr int32_t umi_not_counted = -1;  // does not count a template, or has no UMI tag
constexpr int32_t umi_no_code = -2;      // a byte other than A/C/G/T, empty, or too long

struct file_closer {
    void operator()(htsFile *f) const { hts_close(f); }
};
struct header_freer {
    void operator()(sam_hdr_t *h) const { sam_hdr_destroy(h); }
};
struct pool_freer {
    void operator()(hts_tpool *p) const { hts_tpool_destroy(p); }
};
using hts_pool = std::unique_ptr<hts_tpool, pool_freer>;
using sam_header = std::unique_ptr<sam_hdr_t, header_freer>;

std::string describe(const std::string &path) { return path == "-" ? "standard input" : "'" + path + "'"; }

std::string errno_or(int err, const char *otherwise) { return err ? std::strerror(err) : otherwise; }

void share_pool(htsFile *f, hts_tpool *pool) {
    if (!pool) return;
    htsThreadPool tp{pool, 0};
    hts_set_opt(f, HTS_OPT_THREAD_POOL, &tp);
}

// The read-name form of the barcode: the first capture group of a POSIX
// extended regular expression's first match.  libc's matcher rather than
// std::regex, whose headers fail the sanitizer build's warnings-as-errors
// (GCC 12 sees uninitialised members inside them); one compiled pattern
// serves every worker, regexec taking the pattern's own lock.
class name_pattern {
public:
    explicit name_pattern(const std::string &text) {
        if (const int rc = regcomp(&re_, text.c_str(), REG_EXTENDED)) {
            char why[256];
            regerror(rc, &re_, why, sizeof why);
            throw usage_error("--barcode-from-name: '" + text + "' is not a regular expression (" + why + ")");
        }
        if (re_.re_nsub < 1) {
            regfree(&re_);
            throw usage_error("--barcode-from-name: '" + text + "' has no capture group; the first one is the barcode");
        }
    }
    ~name_pattern() { regfree(&re_); }
    name_pattern(const name_pattern &) = delete;
    name_pattern &operator=(const name_pattern &) = delete;

    // The first group's text in name; false when the pattern does not
    // match or the group takes no part.
    bool first_group(const char *name, std::string_view *out) const {
        regmatch_t m[2];
        if (regexec(&re_, name, 2, m, 0) != 0 || m[1].rm_so < 0) return false;
        *out = std::string_view(name + m[1].rm_so, static_cast<size_t>(m[1].rm_eo - m[1].rm_so));
        return true;
    }

private:
    regex_t re_;
};

// A BAM (or SAM) file read record by record.
class bam_reader {
public:
    // fd: open on path, owned from the start.
    bam_reader(const std::string &path, int fd, hts_tpool *pool) : path_(path) {
        hFILE *h = hdopen(fd, "r");
        if (!h) {
            const int err = errno;
            close(fd);
            fail(errno_or(err, "cannot open"));
        }
        file_.reset(hts_hopen(h, path.c_str(), "r"));
        if (!file_) {
            hclose_abruptly(h);
            fail("not a BAM or SAM file");
        }
        const htsExactFormat format = hts_get_format(file_.get())->format;
        if (format != bam && format != sam) fail("not a BAM or SAM file");
        header_.reset(sam_hdr_read(file_.get()));
        if (!header_) fail("its header cannot be read");
        // A BAM file cut at a block boundary reads as a shorter whole one
        // but for the empty block that ends every complete file (a pipe
        // read once cannot be checked).
        if (format == bam && bgzf_check_EOF(file_->fp.bgzf) == 0) fail("the file is truncated (no end-of-file block)");
        // Only now: reading the header checks the end-of-file block, which
        // with the pool already reading ahead into a damaged block waits
        // for ever (htslib 1.16).
        share_pool(file_.get(), pool);
    }
    const sam_hdr_t *header() const { return header_.get(); }
    uint64_t records() const { return records_; }
    // The next record into b; false at the end of the file.
    bool next(bam1_t *b) {
        const int r = sam_read1(file_.get(), header_.get(), b);
        if (r >= 0) {
            ++records_;
            return true;
        }
        // htslib's threads may end a damaged file as if it ended there:
        // the end counts only when the BGZF stream holds no error.
        if (r == -1 && !(file_->is_bgzf && file_->fp.bgzf->errcode)) return false;
        // No record number: with htslib's threads the records read before
        // the damage are not all delivered.
        fail("the file is damaged or truncated");
    }

private:
    [[noreturn]] void fail(const std::string &what) const {
        throw data_error("cannot read BAM " + describe(path_) + ": " + what);
    }
    std::string path_;
    std::unique_ptr<htsFile, file_closer> file_;
    sam_header header_;
    uint64_t records_ = 0;
};

// A BAM file written through htslib into an output of the run's group, so
// that it is renamed into place, or removed, with the other outputs.
class bam_output {
public:
    bam_output(output_file *out, const output_target &target, const sam_hdr_t *header, hts_tpool *pool)
        : target_(target) {
        const int fd = out->shared_descriptor();
        hFILE *h = hdopen(fd, "w");
        if (!h) {
            const int err = errno;
            close(fd);
            fail(err);
        }
        file_.reset(hts_hopen(h, target.given.c_str(), "wb"));
        if (!file_) {
            const int err = errno;
            hclose_abruptly(h);
            fail(err);
        }
        share_pool(file_.get(), pool);
        if (sam_hdr_write(file_.get(), header) < 0) fail(errno);
    }
    void write(const sam_hdr_t *header, const bam1_t *b) {
        if (sam_write1(file_.get(), header, b) < 0) fail(errno);
    }
    // Writes what htslib holds and the end-of-file block.
    void close_file() {
        if (hts_close(file_.release()) != 0) fail(errno);
    }

private:
    [[noreturn]] void fail(int err) const {
        const std::string where = target_.to_stdout ? std::string("standard output") : "'" + target_.given + "'";
        throw data_error("cannot write " + target_.what + " " + where + ": " + errno_or(err, "htslib failed"));
    }
    output_target target_;
    std::unique_ptr<htsFile, file_closer> file_;
};

// A batch of records and their barcodes.
struct record_batch {
    uint64_t seq_no = 0;
    uint64_t first = 0;             // the file's records before the batch
    std::vector<bam1_t *> records;  // reused from batch to batch; the first n in use
    size_t n = 0;
    // The barcodes, upper-cased, and their qualities, back to back.  In
    // the first pass only the records that count have one; in the second
    // every record has its slot (a null window without a barcode).
    std::string arena;
    std::vector<size_t> seq_off, qual_off;  // SIZE_MAX: no barcode, no qualities
    std::vector<uint8_t> missing_at;        // second pass: 1 for a record without a barcode
    std::vector<size_t> window_lens, tail_lens;
    std::vector<const uint8_t *> windows, quals;
    std::vector<vorn_match> scratch;
    std::vector<read_decision> decisions;
    // With UMIs.  Per record: its entry (UINT32_MAX: no CB), held from the
    // second pass for the third; the second pass's UMI of a record that
    // counts (umi_len as above, umi_code when it has a length).
    std::vector<uint32_t> entries;
    std::vector<int32_t> umi_len;
    std::vector<uint64_t> umi_code;
    std::vector<std::string> held;  // a held frame, read back
    uint64_t umi_set = 0, umi_missing = 0, umi_unusable = 0;
    size_t first_missing = SIZE_MAX;  // the first record without a barcode
    uint64_t missing = 0;
    uint64_t lower_case = 0;
    uint64_t status[status_slots] = {0, 0, 0, 0};
    uint64_t exact = 0, corrected = 0;
    vorn_stats work{0, 0};
    std::string value;  // room for a tag's value

    record_batch() = default;
    record_batch(const record_batch &) = delete;
    record_batch &operator=(const record_batch &) = delete;
    ~record_batch() {
        for (bam1_t *b : records) bam_destroy1(b);
    }

    read_windows view() {
        const size_t m = seq_off.size();
        windows.resize(m);
        quals.resize(m);
        for (size_t i = 0; i < m; ++i) {
            const bool has = seq_off[i] != SIZE_MAX;
            windows[i] = has ? reinterpret_cast<const uint8_t *>(arena.data() + seq_off[i]) : nullptr;
            quals[i] = has && qual_off[i] != SIZE_MAX ? reinterpret_cast<const uint8_t *>(arena.data() + qual_off[i])
                                                      : nullptr;
        }
        return {windows.data(), window_lens.data(), tail_lens.data(), quals.data(), m};
    }
};

// Reads up to size records into b; false when the file is done.
bool fill(bam_reader &in, record_batch &b, size_t size) {
    b.first = in.records();
    b.n = 0;
    b.records.reserve(size);  // so that push_back cannot throw with a record in hand
    while (b.n < size) {
        if (b.n == b.records.size()) {
            bam1_t *r = bam_init1();
            if (!r) throw std::bad_alloc();
            b.records.push_back(r);
        }
        if (!in.next(b.records[b.n])) break;
        ++b.n;
    }
    return b.n > 0;
}

// Whether a record counts its template: primary, and of a pair read 1.
bool counts_template(const bam1_t *r) {
    const uint16_t flag = r->core.flag;
    return !(flag & (BAM_FSECONDARY | BAM_FSUPPLEMENTARY)) && !((flag & BAM_FPAIRED) && (flag & BAM_FREAD2));
}

// A UMI's text from its code: upper case, the first base in the highest bits.
void umi_text(uint64_t code, size_t length, std::string *out) {
    out->resize(length);
    for (size_t k = 0; k < length; ++k) (*out)[k] = "ACGT"[(code >> (2 * (length - 1 - k))) & 3];
}

// What a worker does to a batch: the same for every batch, read-only.
class record_worker {
public:
    record_worker(const tag_options &opt, const decider &d, const whitelist &wl, const name_pattern *pattern)
        : opt_(opt), decider_(d), wl_(wl), pattern_(pattern) {}

    // Takes the barcodes of the batch's records (with counting, only of
    // those that give the prior: a template's primary record, read 1 of a
    // pair) and marks the records that have none.
    void take_barcodes(record_batch &b, bool counting) const {
        b.arena.clear();
        b.seq_off.clear();
        b.qual_off.clear();
        b.window_lens.clear();
        b.tail_lens.clear();
        b.missing_at.clear();
        b.first_missing = SIZE_MAX;
        b.missing = b.lower_case = b.exact = b.corrected = 0;
        for (uint64_t &s : b.status) s = 0;
        b.work = {0, 0};
        for (size_t i = 0; i < b.n; ++i) {
            const bam1_t *r = b.records[i];
            std::string_view seq;
            const bool found = barcode_of(r, &seq);
            if (!found) {
                if (b.first_missing == SIZE_MAX) b.first_missing = i;
                ++b.missing;
            }
            if (!counting) b.missing_at.push_back(found ? 0 : 1);
            if (counting && (!found || !counts_template(r))) continue;
            if (!found || seq.empty()) {
                // Without a barcode the slot is only held; an empty one is
                // invalid, as a read too short for its window.
                b.seq_off.push_back(SIZE_MAX);
                b.qual_off.push_back(SIZE_MAX);
                b.window_lens.push_back(1);
                b.tail_lens.push_back(0);
                continue;
            }
            b.seq_off.push_back(b.arena.size());
            b.arena.append(seq);
            b.lower_case += fold_upper(b.arena.data() + b.seq_off.back(), seq.size());
            b.window_lens.push_back(seq.size());
            b.tail_lens.push_back(seq.size());
            const std::string_view q = qualities_of(r, seq.size());
            b.qual_off.push_back(q.empty() ? SIZE_MAX : b.arena.size());
            b.arena.append(q);
        }
    }

    // Decides every record of the batch and sets its CB; with hold, keeps
    // the decisions in b.entries instead, and the UMIs that count.
    void decide(record_batch &b, bool hold) const {
        b.decisions.resize(b.n);
        b.entries.resize(b.n);
        decider_.decide(b.view(), &b.scratch, b.decisions.data(), &b.work);
        for (size_t i = 0; i < b.n; ++i) {
            const read_decision &d = b.decisions[i];
            const bool missing = b.missing_at[i] != 0;
            if (!missing) {
                ++b.status[status_slot(d.result.status)];
                if (d.result.status == VORN_STATUS_UNIQUE) ++(d.exact ? b.exact : b.corrected);
            }
            const uint32_t entry = !missing && d.result.status == VORN_STATUS_UNIQUE ? d.result.ref_index : UINT32_MAX;
            if (hold) b.entries[i] = entry;
            else retag(b, i, entry);
        }
        if (hold) take_umis(b);
    }

    // Third pass: sets CB from the held entry and UB from the corrected
    // UMI of the record's (cell, UMI) pair, when its UMI has a code of the
    // run's length (length 0: none does); removes any input CB and UB.
    void retag_umis(record_batch &b, const umi_pairs &pairs, size_t length) const {
        b.umi_set = b.umi_missing = b.umi_unusable = 0;
        for (size_t i = 0; i < b.n; ++i) {
            bam1_t *r = b.records[i];
            const uint32_t entry = b.entries[i];
            // The code before the tags move: deleting and appending them
            // moves the UMI's text.
            uint64_t code = 0;
            bool coded = false;
            if (entry != UINT32_MAX) {
                std::string_view umi;
                if (!umi_of(r, &umi)) ++b.umi_missing;
                else if (umi.empty() || umi.size() != length || !umi_code(umi, &code)) ++b.umi_unusable;
                else coded = true;
            }
            drop(r, corrected_umi_tag);
            retag(b, i, entry);
            if (!coded) continue;
            umi_text(opt_.match.umi_correct ? pairs.corrected(entry, code) : code, length, &b.value);
            append(r, corrected_umi_tag, b.value);
            ++b.umi_set;
        }
    }

    // The error for the batch's first record without a barcode.
    std::string missing_message(const record_batch &b) const {
        const bam1_t *r = b.records[b.first_missing];
        const std::string why = opt_.barcode.name_pattern.empty()
                                    ? "no " + opt_.barcode.tag + ":Z tag"
                                    : "its name does not match --barcode-from-name '" + opt_.barcode.name_pattern + "'";
        return "record '" + std::string(bam_get_qname(r)) + "' (record " + std::to_string(b.first + b.first_missing + 1) +
               " of " + describe(opt_.bam_path) + ") has no barcode: " + why +
               " (--missing-barcode pass writes such records without " + corrected_tag + ")";
    }

private:
    // The UMIs of the records that count a template and got a CB.
    void take_umis(record_batch &b) const {
        b.umi_len.assign(b.n, umi_not_counted);
        b.umi_code.assign(b.n, 0);
        for (size_t i = 0; i < b.n; ++i) {
            std::string_view umi;
            if (b.entries[i] == UINT32_MAX || !counts_template(b.records[i]) || !umi_of(b.records[i], &umi)) continue;
            b.umi_len[i] = !umi.empty() && umi_code(umi, &b.umi_code[i]) ? static_cast<int32_t>(umi.size()) : umi_no_code;
        }
    }

    bool umi_of(const bam1_t *r, std::string_view *umi) const {
        const uint8_t *a = bam_aux_get(r, opt_.umi_tag.c_str());
        if (!a || *a != 'Z') return false;
        *umi = bam_aux2Z(a);
        return true;
    }

    bool barcode_of(const bam1_t *r, std::string_view *seq) const {
        if (pattern_) return pattern_->first_group(bam_get_qname(r), seq);
        const uint8_t *a = bam_aux_get(r, opt_.barcode.tag.c_str());
        if (!a || *a != 'Z') return false;
        *seq = bam_aux2Z(a);
        return true;
    }

    // The qualities of a barcode of len bases; empty when the record has
    // none of that length.
    std::string_view qualities_of(const bam1_t *r, size_t len) const {
        if (opt_.barcode.quality_tag.empty()) return {};
        const uint8_t *a = bam_aux_get(r, opt_.barcode.quality_tag.c_str());
        if (!a || *a != 'Z') return {};
        const std::string_view q = bam_aux2Z(a);
        return q.size() == len ? q : std::string_view();
    }

    // Drops the record's CB and sets the entry's when one is assigned
    // (entry UINT32_MAX: none).
    void retag(record_batch &b, size_t i, uint32_t entry) const {
        bam1_t *r = b.records[i];
        drop(r, corrected_tag);
        if (entry == UINT32_MAX) return;
        const entry_text e = wl_.entry(entry);
        b.value.assign(e.data(), e.size());
        append(r, corrected_tag, b.value);
    }

    static void drop(bam1_t *r, const char *tag) {
        if (uint8_t *old = bam_aux_get(r, tag)) {
            if (bam_aux_del(r, old) != 0) throw data_error("a record's tags are damaged (read '" + name(r) + "')");
        }
    }

    static void append(bam1_t *r, const char *tag, const std::string &value) {
        if (bam_aux_append(r, tag, 'Z', static_cast<int>(value.size() + 1),
                           reinterpret_cast<const uint8_t *>(value.c_str())) != 0)
            throw std::bad_alloc();
    }

    static std::string name(const bam1_t *r) { return bam_get_qname(r); }

    const tag_options &opt_;
    const decider &decider_;
    const whitelist &wl_;
    const name_pattern *pattern_;
};

void check_tag_name(const char *option, const std::string &tag) {
    const auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const auto alnum = [&](char c) { return alpha(c) || (c >= '0' && c <= '9'); };
    if (tag.size() != 2 || !alpha(tag[0]) || !alnum(tag[1]))
        throw usage_error(std::string(option) + ": '" + tag + "' is not a SAM tag name (two characters, a letter first)");
}

std::string version_text() {
    return std::to_string(VELMORA_VERSION_MAJOR) + "." + std::to_string(VELMORA_VERSION_MINOR) + "." +
           std::to_string(VELMORA_VERSION_PATCH);
}

}  // namespace

tag_report run_tag(const tag_options &options, const warning_sink &warn) {
    const double start = now_seconds();
    tag_report report;
    report.options = options;
    tag_options &opt = report.options;
    const assign_options &m = opt.match;
    if (opt.bam_path.empty()) throw usage_error("--bam is required");
    if (!opt.out.requested()) throw usage_error("--out is required");
    if (opt.bam_path == "-" && m.whitelist_path == "-")
        throw usage_error("--whitelist and --bam cannot both read standard input");
    std::unique_ptr<name_pattern> pattern;
    if (opt.barcode.name_pattern.empty()) check_tag_name("--barcode-tag", opt.barcode.tag);
    else pattern = std::make_unique<name_pattern>(opt.barcode.name_pattern);
    if (!opt.barcode.quality_tag.empty()) check_tag_name("--quality-tag", opt.barcode.quality_tag);
    const bool umis = !opt.umi_tag.empty();
    if (umis) {
        check_tag_name("--umi-tag", opt.umi_tag);
        if (opt.umi_tag == corrected_tag || opt.umi_tag == corrected_umi_tag)
            throw usage_error("--umi-tag: " + opt.umi_tag + " is written by this run; the raw UMI must be in another tag");
    } else if (!m.umi_correct) {
        throw usage_error("--no-umi-correct needs --umi-tag");
    }
    plan_outputs({{"--bam", opt.bam_path}, {"--whitelist", m.whitelist_path}}, {&opt.out, &opt.summary});
    opt.out.gzip = false;  // BAM is compressed already, whatever its name

    reference ref;
    ref.list = load_whitelist(m.whitelist_path, {.max_line_length = m.max_line_length, .compact = true});
    const whitelist &wl = ref.list;
    report.whitelist_entries = wl.size();
    warn_about_whitelist(wl, m, warn);

    // With the rescue the file is read once more, and with UMIs once more
    // again; input that cannot be read again is copied first (BAM is gzip,
    // so the copy is the file as it is).
    const unsigned passes = 1u + (m.rescue ? 1u : 0u) + (umis ? 1u : 0u);
    std::unique_ptr<input_spool> spool;
    if (passes > 1 && needs_spool(opt.bam_path)) {
        spool = std::make_unique<input_spool>(opt.bam_path, passes);
        report.spool_bytes = spool->spooled_bytes();
    }
    // Declared before the files, so that it outlives them.
    hts_pool pool(m.threads > 1 ? hts_tpool_init(static_cast<int>(m.threads)) : nullptr);
    if (m.threads > 1 && !pool) throw data_error("cannot start htslib's threads");
    auto open_pass = [&] {
        const int fd = spool ? spool->take_reader() : open_input(opt.bam_path, "BAM");
        return std::make_unique<bam_reader>(opt.bam_path, fd, pool.get());
    };
    // A missing or damaged file fails before the index is built.
    std::unique_ptr<bam_reader> in = open_pass();
    uint64_t bam_bytes = spool ? spool->input_bytes() : 0;
    struct stat st;
    if (!spool && stat(opt.bam_path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) bam_bytes = static_cast<uint64_t>(st.st_size);
    build_reference_index(&ref, search_tables(m, bam_bytes));

    std::vector<uint64_t> exact_counts;
    const decider decide(ref.index.get(), wl.size(), m, exact_counts, &wl);
    const record_worker worker(opt, decide, wl, pattern.get());
    auto check_missing = [&](const record_batch &b) {
        if (b.missing && !opt.pass_missing) throw data_error(worker.missing_message(b));
    };

    if (m.rescue) {
        const double t0 = now_seconds();
        progress_meter progress("records counted");
        std::vector<uint64_t> counts(wl.size(), 0);
        run_in_order<record_batch>(
            m.threads, [&](record_batch &b) { return fill(*in, b, m.batch_size); },
            [&](record_batch &b) { worker.take_barcodes(b, true); },
            [&](record_batch &b) {
                check_missing(b);
                decide.count_exact(b.view(), &b.scratch, counts.data());
                report.templates_counted += b.seq_off.size();
                progress.update(in->records(), -1);
            });
        progress.finish();
        exact_counts = std::move(counts);
        in = open_pass();
        report.count_seconds = now_seconds() - t0;
    }

    output_group outputs;
    sam_header header(sam_hdr_dup(in->header()));
    if (!header) throw std::bad_alloc();
    // htslib makes the ID unique (velmora.1, ...) and chains PP to the
    // last @PG of each chain.
    if (sam_hdr_add_pg(header.get(), "velmora", "PN", "velmora", "VN", version_text().c_str(), "CL",
                       header_value(m.command_line.empty() ? "velmora tag" : m.command_line).c_str(),
                       static_cast<const char *>(nullptr)) != 0)
        throw data_error("cannot add the @PG line to the header of " + describe(opt.bam_path));
    bam_output out(outputs.open(opt.out), opt.out, header.get(), pool.get());
    // With UMIs: the decisions held for the third pass, and the pairs.
    std::unique_ptr<held_batches> held;
    if (umis) held = std::make_unique<held_batches>();
    umi_pairs pairs;
    bool have_length = false;
    {
        progress_meter progress(umis ? "records decided" : "records");
        run_in_order<record_batch>(
            m.threads, [&](record_batch &b) { return fill(*in, b, m.batch_size); },
            [&](record_batch &b) {
                worker.take_barcodes(b, false);
                worker.decide(b, umis);
            },
            [&](record_batch &b) {
                check_missing(b);
                if (umis) {
                    // In input order, so that the run's UMI length is the
                    // first counted UMI's whatever the threads did.
                    for (size_t i = 0; i < b.n; ++i) {
                        const int32_t len = b.umi_len[i];
                        if (len < 0) continue;
                        if (!have_length) {
                            report.umi_length = static_cast<uint64_t>(len);
                            have_length = true;
                        }
                        if (static_cast<uint64_t>(len) != report.umi_length) continue;
                        pairs.add(b.entries[i], b.umi_code[i]);
                        ++report.umi_templates;
                    }
                    held->put({std::string_view(reinterpret_cast<const char *>(b.entries.data()),
                                                b.n * sizeof(uint32_t))});
                } else {
                    for (size_t i = 0; i < b.n; ++i) out.write(header.get(), b.records[i]);
                }
                report.records += b.n;
                report.missing_barcode += b.missing;
                report.lower_case += b.lower_case;
                report.exact += b.exact;
                report.corrected += b.corrected;
                for (size_t s = 0; s < status_slots; ++s) report.status[s] += b.status[s];
                progress.update(report.records, -1);
            });
        progress.finish();
    }
    if (umis) {
        const double u0 = now_seconds();
        report.umi_pairs = pairs.size();
        report.umi_pair_bytes = pairs.bytes();
        report.held_bytes = held->bytes();
        std::vector<uint64_t> molecules;
        pairs.group(static_cast<size_t>(report.umi_length), m.umi_correct, &molecules);
        for (const uint64_t n : molecules) report.umi_molecules += n;
        report.umi_seconds = now_seconds() - u0;

        // The third pass, in the second's batches: each frame held is the
        // decisions of the batch of the same place.
        const double w0 = now_seconds();
        const uint64_t decided = report.records;
        report.records = 0;
        in = open_pass();
        progress_meter progress("records");
        const auto changed = [&] {
            return data_error("BAM " + describe(opt.bam_path) + " changed while it was read");
        };
        run_in_order<record_batch>(
            m.threads,
            [&](record_batch &b) {
                const bool more = fill(*in, b, m.batch_size);
                const bool held_more = held->get(b.held);
                if (more != held_more) throw changed();
                if (!more) return false;
                if (b.held.size() != 1 || b.held[0].size() != b.n * sizeof(uint32_t)) throw changed();
                b.entries.resize(b.n);
                std::memcpy(b.entries.data(), b.held[0].data(), b.held[0].size());
                return true;
            },
            [&](record_batch &b) { worker.retag_umis(b, pairs, static_cast<size_t>(report.umi_length)); },
            [&](record_batch &b) {
                for (size_t i = 0; i < b.n; ++i) out.write(header.get(), b.records[i]);
                report.records += b.n;
                report.umi_set += b.umi_set;
                report.umi_missing += b.umi_missing;
                report.umi_unusable += b.umi_unusable;
                progress.update(report.records, -1);
            });
        progress.finish();
        if (report.records != decided) throw changed();
        report.write_seconds = now_seconds() - w0;
    }
    out.close_file();
    in.reset();
    report.wall = now_seconds() - start;
    if (opt.summary.requested()) outputs.open(opt.summary)->write(tag_summary_json(report));
    outputs.commit();
    if (report.lower_case)
        warn("warning: " + format_count(report.lower_case) +
             " records hold lower-case bases in the barcode; they were read as upper case");
    if (report.umi_unusable)
        warn("warning: " + format_count(report.umi_unusable) + " records assigned a " + corrected_tag + " hold a UMI (" +
             opt.umi_tag + ") of another length than the first counted one (" +
             (report.umi_length ? std::to_string(report.umi_length) + " bases" : "none was counted") +
             "), empty, longer than " + std::to_string(umi_max_length) +
             " bases or with bytes other than A/C/G/T; they get no " + corrected_umi_tag);
    return report;
}

std::string tag_summary_text(const tag_report &report) {
    const tag_options &opt = report.options;
    const assign_options &m = opt.match;
    const double rate = report.wall > 0 ? static_cast<double>(report.records) / report.wall : 0;
    std::string s = "velmora tag: " + format_count(report.records) + " records in " + format_fixed(report.wall, 2) +
                    " s (" + format_count(static_cast<uint64_t>(rate)) + " records/s, " +
                    std::to_string(m.threads) + " thread" + (m.threads == 1 ? "" : "s") + "), " +
                    (m.hamming ? "max mismatches " : "max edits ") + std::to_string(m.k) +
                    (m.rescue ? ", rescue by posterior" : ", distance rule") + "\n";
    if (m.rescue)
        s += "  exact counts over " + format_count(report.templates_counted) + " templates in " +
             format_fixed(report.count_seconds, 2) + " s\n";
    char line[160];
    auto row = [&](const char *label, uint64_t v) {
        const double pct = report.records ? 100.0 * static_cast<double>(v) / static_cast<double>(report.records) : 0;
        std::snprintf(line, sizeof line, "  %-26s %14s %7s%%\n", label, format_count(v).c_str(),
                      format_fixed(pct, 2).c_str());
        s += line;
    };
    row("assigned (CB set)", report.status[1]);
    row("  exact", report.exact);
    row("  with errors", report.corrected);
    row("not assigned: ambiguous", report.status[2]);
    row("not assigned: none", report.status[0]);
    row("invalid (empty barcode)", report.status[3]);
    if (opt.pass_missing) row("without a barcode, passed", report.missing_barcode);
    if (!opt.umi_tag.empty()) {
        s += "  UMIs from " + opt.umi_tag + ", " + std::to_string(report.umi_length) + " bases, " +
             (m.umi_correct ? "corrected" : "not corrected") + ": " + format_count(report.umi_templates) +
             " templates counted, " + format_count(report.umi_pairs) + " (cell, UMI) pairs, " +
             format_count(report.umi_molecules) + " molecules\n";
        row("UB set", report.umi_set);
        row("CB, no UMI tag", report.umi_missing);
        row("CB, UMI not usable", report.umi_unusable);
    }
    return s;
}

std::string tag_summary_json(const tag_report &report) {
    const tag_options &opt = report.options;
    const assign_options &m = opt.match;
    json_value j = json_value::object();
    j.set("command", "tag");
    j.set("version", version_text());
    j.set("bam", json_value::path(opt.bam_path));
    j.set("whitelist", json_value::path(m.whitelist_path));
    j.set("whitelist_entries", report.whitelist_entries);
    json_value source = json_value::object();
    if (opt.barcode.name_pattern.empty()) source.set("tag", opt.barcode.tag);
    else source.set("name_pattern", opt.barcode.name_pattern);
    source.set("quality_tag", opt.barcode.quality_tag);
    j.set("barcode_source", source);
    j.set("metric", m.hamming ? "hamming" : "edit");
    j.set("max_distance", m.k);
    j.set("window", m.hamming || m.fixed_window ? "fixed" : "indel");
    j.set("rescue", m.rescue);
    j.set("threads", m.threads);
    j.set("records", report.records);
    j.set("templates_counted", report.templates_counted);
    json_value status = json_value::object();
    for (size_t slot = 0; slot < status_slots; ++slot) status.set(status_names[slot], report.status[slot]);
    j.set("status", status);
    j.set("assigned_exact", report.exact);
    j.set("assigned_with_errors", report.corrected);
    j.set("missing_barcode_passed", report.missing_barcode);
    j.set("lower_case_barcodes", report.lower_case);
    j.set("spool_bytes", report.spool_bytes);
    if (!opt.umi_tag.empty())
        j.set("umis", json_value::object()
                          .set("tag", opt.umi_tag)
                          .set("corrected", m.umi_correct)
                          .set("length", report.umi_length)
                          .set("templates_counted", report.umi_templates)
                          .set("molecules", report.umi_molecules)
                          .set("distinct_pairs", report.umi_pairs)
                          .set("pair_table_bytes", report.umi_pair_bytes)
                          .set("held_bytes", report.held_bytes)
                          .set("records_with_ub", report.umi_set)
                          .set("records_without_umi", report.umi_missing)
                          .set("records_unusable_umi", report.umi_unusable)
                          .set("wall_seconds", json_value::object()
                                                   .set("grouping", report.umi_seconds)
                                                   .set("third_pass", report.write_seconds)));
    j.set("wall_seconds", json_value::object().set("exact_counts", report.count_seconds).set("total", report.wall));
    return j.dump() + "\n";
}

}  // namespace velmora_pipeline
