// The assign job over read structures: the reads of a lane come as parallel
// files (read 1, read 2, index reads), each laid out by its read structure,
// and a read's cell is the combination of its C segments, each corrected on
// its own whitelist's index.
//
// It runs the single-window job's two passes per segment: the first counts,
// for every barcode segment, the reads whose window matches one entry of its
// list exactly (each segment its own prior, even where two segments share a
// list: a round-1 barcode's count says nothing of its use in round 2); the
// second decides every segment of every read with the same decider the
// single-window job uses, so that a structure with one C segment decides
// exactly as --barcode-start/--barcode-length do.  Then a read is assigned
// when every barcode segment (C and B) is; its cell identity is the corrected
// C segments joined by '-'.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "assign.h"
#include "bam.h"
#include "base.h"
#include "decide.h"
#include "fastq.h"
#include "ordered.h"
#include "progress.h"
#include "spool.h"
#include "structure.h"
#include "table.h"
#include "umi.h"
#include "windows.h"
#include "whitelist.h"

namespace velmora_pipeline {

namespace {

// A barcode segment of the run's layout.
struct barcode_slot {
    std::string name;  // C1, C2, B1
    size_t read = 0;   // the file of a lane holding it
    read_segment seg;
    bool movable = false;  // followed by bases that are no barcode: its window's end may move
    size_t list = 0;       // into the run's whitelists
};

struct run_layout {
    std::vector<read_structure> reads;
    std::vector<barcode_slot> slots;
    std::vector<size_t> cells;  // slots of kind C, in order
    std::vector<size_t> samples;  // slots of kind B
    std::vector<std::pair<size_t, read_segment>> umis;
    std::vector<size_t> template_reads;  // reads holding T segments, in order
    std::vector<std::string> lists;      // distinct whitelist paths
};

run_layout plan_layout(const assign_options &opt) {
    run_layout L;
    for (const std::string &text : opt.read_structures) L.reads.push_back(parse_read_structure(text));
    size_t n_cell = 0, n_sample = 0;
    for (size_t r = 0; r < L.reads.size(); ++r) {
        const std::vector<read_segment> &segs = L.reads[r].segments;
        bool has_template = false;
        for (size_t k = 0; k < segs.size(); ++k) {
            const read_segment &seg = segs[k];
            if (seg.kind == 'M') L.umis.push_back({r, seg});
            has_template |= seg.kind == 'T';
            if (!seg.barcode()) continue;
            if (seg.rest)
                throw usage_error("read structure '" + L.reads[r].text +
                                  "': a barcode segment needs a length, not '+'");
            barcode_slot s;
            s.name = seg.kind + std::to_string(seg.kind == 'C' ? ++n_cell : ++n_sample);
            s.read = r;
            s.seg = seg;
            s.movable = k + 1 == segs.size() || !segs[k + 1].barcode();
            (seg.kind == 'C' ? L.cells : L.samples).push_back(L.slots.size());
            L.slots.push_back(s);
        }
        if (has_template) L.template_reads.push_back(r);
    }
    if (L.cells.empty()) throw usage_error("the read structures hold no cell barcode segment (C)");
    const std::vector<std::string> &wls = opt.whitelist_paths;
    if (wls.size() != 1 && wls.size() != L.slots.size())
        throw usage_error("--whitelist is given " + std::to_string(wls.size()) + " times for " +
                          std::to_string(L.slots.size()) +
                          " barcode segments: give one for all, or one per segment in order");
    for (size_t i = 0; i < L.slots.size(); ++i) {
        const std::string &path = wls[wls.size() == 1 ? 0 : i];
        const auto at = std::find(L.lists.begin(), L.lists.end(), path);
        L.slots[i].list = static_cast<size_t>(at - L.lists.begin());
        if (at == L.lists.end()) L.lists.push_back(path);
    }
    if (!opt.out_fastq.empty() && opt.out_fastq.size() != L.template_reads.size())
        throw usage_error("--out-fastq is given " + std::to_string(opt.out_fastq.size()) + " times for " +
                          std::to_string(L.template_reads.size()) +
                          " reads holding template (T) segments: give one per such read, in order");
    if (opt.out_bam.requested() && L.template_reads.empty())
        throw usage_error("--out-bam needs a template (T) segment in the read structures");
    if (opt.out_bam.requested() && L.template_reads.size() > 2)
        throw usage_error("--out-bam takes at most two reads holding template segments (a pair)");
    return L;
}

// The bytes of segment seg of a read of len bases that the read holds.
std::pair<size_t, size_t> clamp_slice(const read_segment &seg, size_t len) {
    const size_t start = static_cast<size_t>(std::min<uint64_t>(seg.offset, len));
    const size_t end = seg.rest ? len : static_cast<size_t>(std::min<uint64_t>(seg.offset + seg.length, len));
    return {start, end};
}

// Where a barcode assigned through an indel ends: the read prefix, at most k
// bases longer or shorter than the entry, fewest edits from it, minus the
// entry's length (ties: the structure's end, then the shorter).  window is
// the read from the segment's start, at most entry.size() + k bases; row is
// scratch.
long barcode_shift(std::string_view window, std::string_view entry, size_t k, std::vector<uint32_t> &row) {
    const size_t L = entry.size(), W = window.size();
    constexpr uint32_t far = UINT32_MAX / 2;
    // row[j]: edits between the entry's first i bases and the window's first
    // j, within `band` of the diagonal (far outside it).  Every value up to
    // band is exact in the band, so when the best end is within it, the
    // band's answer is the whole table's; else the whole table is run.
    for (const size_t band : {k, std::max(L, W)}) {
        row.assign(W + 1, far);
        for (size_t j = 0; j <= std::min(W, band); ++j) row[j] = static_cast<uint32_t>(j);
        for (size_t i = 1; i <= L; ++i) {
            const size_t lo = i > band ? i - band : 0, hi = std::min(W, i + band);
            uint32_t diag = row[lo > 0 ? lo - 1 : 0];
            if (lo > 0) row[lo - 1] = far;
            else row[0] = static_cast<uint32_t>(i);
            for (size_t j = std::max<size_t>(lo, 1); j <= hi; ++j) {
                const char w = window[j - 1];
                const bool same = entry[i - 1] == (w >= 'a' && w <= 'z' ? static_cast<char>(w - 'a' + 'A') : w);
                const uint32_t v = std::min({diag + (same ? 0u : 1u), row[j] + 1, row[j - 1] + 1});
                diag = row[j];
                row[j] = v;
            }
        }
        long best = 0;
        uint32_t best_edits = UINT32_MAX;
        for (size_t n = L > k ? L - k : 0; n <= std::min(W, L + k); ++n) {
            const long shift = static_cast<long>(n) - static_cast<long>(L);
            const bool closer =
                std::labs(shift) < std::labs(best) || (std::labs(shift) == std::labs(best) && shift < best);
            if (row[n] < best_edits || (row[n] == best_edits && closer)) {
                best_edits = row[n];
                best = shift;
            }
        }
        if (best_edits <= band) return best;
    }
    return 0;
}

// The files of a lane the first pass reads: those that hold a barcode or
// can be too short for their structure.  The others (a read 2 "+T") are read
// once, by the second pass, and need no spool.
std::vector<size_t> counted_files(const run_layout &L) {
    std::vector<size_t> files;
    for (size_t j = 0; j < L.reads.size(); ++j) {
        bool counted = L.reads[j].min_length > 0;
        for (const barcode_slot &s : L.slots) counted |= s.read == j;
        if (counted) files.push_back(j);
    }
    return files;
}

// One barcode segment's windows of a batch, as the single-window job holds
// them: the table's rows (upper-cased windows and their tails), qualities.
struct slot_batch : window_batch {
    std::string lines;

    void clear() {
        clear_windows();
        lines.clear();
    }
};

struct rs_batch {
    uint64_t seq_no = 0;
    std::string arena;  // per read: its name, then each file's sequence and quality
    std::vector<size_t> name_off, name_len;
    std::vector<size_t> rec_off, rec_len;  // [read * files + file]: the sequence; its quality follows
    std::vector<uint32_t> short_read;      // 0, or 1 + the first file whose read is shorter than its structure
    std::vector<slot_batch> slots;
    std::string table;
    std::vector<std::string> fastq;        // per template read
    std::string packed;                    // room for compressing one of them
    std::string bam;                       // the batch's BAM records, encoded
    std::string tags;                      // per read: its SAM tags, each after a tab
    std::vector<size_t> tag_off;
    std::vector<std::string> keys;         // cell identity of each assigned read
    std::vector<uint8_t> key_exact;
    std::vector<uint64_t> key_umi;         // its UMI's code, with counted UMIs
    std::vector<uint8_t> key_umi_ok;       // the UMI has a code (no N)
    // With UMI segments, per read: its UMI, segments joined by '-' (moved
    // with its barcode when assigned); whether it is counted (assigned, with
    // a code).
    std::string umi;
    std::vector<size_t> umi_off;
    std::vector<uint8_t> umi_counted;
    std::string umi_fixed;  // the UMIs corrected, at umi_off, when the outputs waited
    // Outputs that wait for the corrected UMIs: the batch's decisions,
    // packed, and the identity of each counted read; held, then read back
    // with the reads again.
    std::string decided, ids;
    std::vector<std::string> held_parts;
    assign_counts counts;
    std::vector<std::array<uint64_t, status_slots>> slot_status;
    double parse_seconds = 0, decide_seconds = 0, format_seconds = 0;

    size_t size() const { return name_off.size(); }
    void clear(size_t n_slots, size_t n_templates) {
        arena.clear();
        name_off.clear();
        name_len.clear();
        rec_off.clear();
        rec_len.clear();
        short_read.clear();
        slots.resize(n_slots);
        for (slot_batch &s : slots) s.clear();
        table.clear();
        // Cleared, not replaced: a batch's text is about the size of the
        // last one's, and its buffer is kept.
        fastq.resize(n_templates);
        for (std::string &f : fastq) f.clear();
        tags.clear();
        tag_off.clear();
        keys.clear();
        key_exact.clear();
        key_umi.clear();
        key_umi_ok.clear();
        umi.clear();
        umi_off.clear();
        umi_counted.clear();
        umi_fixed.clear();
        decided.clear();
        counts = assign_counts();
        slot_status.assign(n_slots, {0, 0, 0, 0});
    }
};

// Whether UMIs are counted: every read holds one, of the same length, that
// a code holds.
bool umis_counted(const run_layout &L) {
    uint64_t length = 0;
    bool fixed = true;
    for (const auto &[r, seg] : L.umis) {
        fixed &= !seg.rest;
        length += seg.length;
    }
    return !L.umis.empty() && fixed && length <= umi_max_length;
}

// Whether the outputs wait for the corrected UMIs, known once every read is
// in: the reads are then decided without writing, and read again to write.
// A table thrown away (counts only) is not worth waiting for.
bool table_wanted(const assign_options &opt) { return opt.out.requested() && opt.out.resolved != "/dev/null"; }
bool outputs_wait(const assign_options &opt, const run_layout &L) {
    const bool templates = !opt.out_fastq.empty() || opt.out_bam.requested();
    return umis_counted(L) && opt.umi_correct && (table_wanted(opt) || templates);
}

// A whitelist of the run with its index.
struct run_list {
    reference ref;
};

class structured_job {
public:
    structured_job(const assign_options &opt, const run_layout &L, const std::vector<std::unique_ptr<run_list>> &lists,
                   const std::vector<std::unique_ptr<decider>> &deciders)
        : opt_(opt), L_(L), lists_(lists), deciders_(deciders) {
        for (size_t s = 0; s < L.slots.size(); ++s)
            extra_.push_back(L.slots[s].movable ? deciders[s]->tail_extra() : 0);
        with_templates_ = !opt.out_fastq.empty() || opt.out_bam.requested();
        counts_umis_ = umis_counted(L);
        umi_file_.assign(L.reads.size(), 0);
        for (const auto &[r, seg] : L.umis) {
            umi_file_[r] = counts_umis_;
            umi_length_ += static_cast<size_t>(seg.length);
        }
        table_wanted_ = table_wanted(opt);
        defers_ = outputs_wait(opt, L);
    }

    bool counts_umis() const { return counts_umis_; }
    size_t umi_length() const { return umi_length_; }
    // Whether the outputs wait for the corrected UMIs (outputs_wait()).
    bool defers() const { return defers_; }
    // Reads the next batch of reads from in, whose streams are the files
    // `which` (every file, or the counted ones: a pass that writes nothing
    // needs no template read); false at the end.
    bool fill(parallel_fastq &in, rs_batch &b, const std::vector<size_t> &which) {
        b.clear(L_.slots.size(), L_.template_reads.size());
        const size_t files = L_.reads.size();
        const bool one_slot = L_.slots.size() == 1, templates = which.size() == files && with_templates_;
        std::vector<size_t> at(files, SIZE_MAX);  // each file's stream
        for (size_t k = 0; k < which.size(); ++k) at[which[k]] = k;
        while (b.size() < opt_.batch_size && in.next(recs_)) {
            b.name_off.push_back(b.arena.size());
            b.name_len.push_back(recs_[0].name.size());
            b.arena.append(recs_[0].name);
            uint32_t short_read = 0;
            for (size_t j = 0; j < files; ++j) {
                // The reads themselves only for the template outputs and UMIs.
                b.rec_off.push_back(b.arena.size());
                if (at[j] == SIZE_MAX) {
                    b.rec_len.push_back(0);
                    continue;
                }
                const fastq_record &rec = recs_[at[j]];
                b.rec_len.push_back(rec.seq.size());
                if (templates || umi_file_[j]) {
                    b.arena.append(rec.seq);
                    b.arena.append(rec.qual);
                }
                if (short_read == 0 && rec.seq.size() < L_.reads[j].min_length)
                    short_read = static_cast<uint32_t>(j + 1);
            }
            b.short_read.push_back(short_read);
            bool lower = false;
            for (size_t s = 0; s < L_.slots.size(); ++s) {
                const barcode_slot &slot = L_.slots[s];
                const std::string &seq = recs_[at[slot.read]].seq;
                slot_batch &sb = b.slots[s];
                const std::string_view name = one_slot ? std::string_view(recs_[0].name) : std::string_view();
                if (short_read != 0) {
                    sb.rows.add(name, std::string_view(), false);
                    sb.qual_off.push_back(SIZE_MAX);
                    sb.window_lens.push_back(1);
                    continue;
                }
                const size_t start = static_cast<size_t>(slot.seg.offset);
                const size_t tail = static_cast<size_t>(
                    std::min<uint64_t>(seq.size() - slot.seg.offset, slot.seg.length + extra_[s]));
                sb.rows.add(name, std::string_view(seq).substr(start, tail), true);
                lower |= fold_upper(sb.rows.arena.data() + sb.rows.window_off.back(), tail);
                sb.qual_off.push_back(sb.rows.arena.size());
                sb.rows.arena.append(recs_[at[slot.read]].qual, start, tail);
                sb.window_lens.push_back(static_cast<size_t>(slot.seg.length));
            }
            b.counts.lower_case_reads += lower;
        }
        return b.size() > 0;
    }

    // Decides a batch and formats its outputs, or, when the outputs wait,
    // packs its decisions into b.decided.
    void process(rs_batch &b) const {
        const double t0 = thread_cpu_seconds();
        const size_t n = b.size(), n_slots = L_.slots.size();
        for (size_t s = 0; s < n_slots; ++s) {
            slot_batch &sb = b.slots[s];
            sb.decisions.resize(n);
            deciders_[s]->decide(sb.view(), &sb.scratch, sb.decisions.data(), &b.counts.work);
        }
        tally(b);
        const double t1 = thread_cpu_seconds();
        if (defers_)
            for (const slot_batch &sb : b.slots) pack_decisions(sb.decisions.data(), n, &b.decided);
        else if (table_wanted_ || with_templates_)
            format(b);
        b.decide_seconds = t1 - t0;
        b.format_seconds = thread_cpu_seconds() - t1;
    }

    // Formats a batch whose outputs waited: b read again, b.held_parts its
    // decisions and the identity of each counted read; each counted UMI
    // corrected as pairs say.
    void replay(rs_batch &b, const umi_pairs &pairs) const {
        const double t0 = thread_cpu_seconds();
        const size_t n = b.size(), n_slots = L_.slots.size();
        std::string_view rest = b.held_parts.at(0);
        for (slot_batch &sb : b.slots) {
            sb.decisions.resize(n);
            rest = unpack_decisions(rest, sb.decisions.data(), n);
        }
        std::vector<uint32_t> row;
        std::vector<uint64_t> codes;  // of the counted UMIs
        for (size_t i = 0; i < n; ++i) {
            bool assigned = true;
            for (size_t s = 0; s < n_slots; ++s)
                assigned &= b.slots[s].decisions[i].result.status == VORN_STATUS_UNIQUE;
            const uint64_t code = note_umi(b, i, assigned, row);
            if (b.umi_counted[i]) codes.push_back(code);
        }
        const std::string &held_ids = b.held_parts.at(1);
        if (!rest.empty() || held_ids.size() != codes.size() * sizeof(uint32_t))
            throw data_error("held decisions are damaged");
        std::vector<uint32_t> ids(codes.size());
        if (!ids.empty()) std::memcpy(ids.data(), held_ids.data(), held_ids.size());
        pairs.correct(ids.data(), codes.data(), codes.size());
        b.umi_fixed = b.umi;
        for (size_t i = 0, j = 0; i < n; ++i)
            if (b.umi_counted[i]) write_umi(codes[j++], b.umi_fixed.data() + b.umi_off[i]);
        format(b);
        b.format_seconds = thread_cpu_seconds() - t0;
    }

    // The first pass over the counted files: exact matches of every slot's
    // window, counted into counts[slot][entry].  Mates are checked again by
    // the second pass, which reads every file.
    void count_exact(parallel_fastq &in, std::vector<std::vector<uint64_t>> &counts) {
        const std::vector<size_t> files = counted_files(L_);
        std::vector<size_t> at(L_.reads.size(), 0);  // a file's stream in this pass
        for (size_t k = 0; k < files.size(); ++k) at[files[k]] = k;
        progress_meter progress("reads counted");
        const size_t n_slots = L_.slots.size();
        std::vector<std::string> windows(n_slots);
        std::vector<std::vector<size_t>> offs(n_slots);
        std::vector<size_t> lens;
        std::vector<const uint8_t *> q;
        std::vector<vorn_match> scratch;
        uint64_t reads = 0;
        for (bool more = true; more;) {
            for (size_t s = 0; s < n_slots; ++s) {
                windows[s].clear();
                offs[s].clear();
            }
            for (size_t got = 0; got < 8192 && (more = in.next(recs_)); ++got) {
                ++reads;
                bool covered = true;
                for (const size_t j : files) covered &= recs_[at[j]].seq.size() >= L_.reads[j].min_length;
                if (!covered) continue;
                for (size_t s = 0; s < n_slots; ++s) {
                    const barcode_slot &slot = L_.slots[s];
                    offs[s].push_back(windows[s].size());
                    windows[s].append(recs_[at[slot.read]].seq, static_cast<size_t>(slot.seg.offset),
                                      static_cast<size_t>(slot.seg.length));
                    fold_upper(windows[s].data() + offs[s].back(), static_cast<size_t>(slot.seg.length));
                }
            }
            for (size_t s = 0; s < n_slots; ++s) {
                const size_t m = offs[s].size();
                q.resize(m);
                lens.assign(m, static_cast<size_t>(L_.slots[s].seg.length));
                for (size_t i = 0; i < m; ++i) q[i] = reinterpret_cast<const uint8_t *>(windows[s].data() + offs[s][i]);
                deciders_[s]->count_exact({q.data(), lens.data(), nullptr, nullptr, m}, &scratch, counts[s].data());
            }
            progress.update(reads, in.fraction_read());
        }
        progress.finish();
    }

    // The template segments of file r of read i, back to back.
    void append_template(const rs_batch &b, size_t i, size_t r, bool qual, std::string &out) const {
        const size_t files = L_.reads.size();
        const size_t off = b.rec_off[i * files + r], len = b.rec_len[i * files + r];
        for (const read_segment &seg : L_.reads[r].segments) {
            if (seg.kind != 'T') continue;
            const auto [start, end] = clamp_slice(seg, len);
            out.append(b.arena, off + (qual ? len : 0) + start, end - start);
        }
    }

private:
    const whitelist &list_of(size_t s) const { return lists_[L_.slots[s].list]->ref.list; }

    void tally(rs_batch &b) const {
        std::vector<uint32_t> shift_row;
        assign_counts &c = b.counts;
        const size_t n = b.size(), n_slots = L_.slots.size();
        c.reads += n;
        for (size_t i = 0; i < n; ++i) {
            c.short_reads += b.short_read[i] != 0;
            size_t failed = n_slots;
            bool all_exact = true, tie = false, all_distances = true;
            uint32_t distance_sum = 0;
            for (size_t s = 0; s < n_slots; ++s) {
                const read_decision &d = b.slots[s].decisions[i];
                const vorn_rescue_result &r = d.result;
                ++b.slot_status[s][status_slot(r.status)];
                if (failed == n_slots && r.status != VORN_STATUS_UNIQUE) failed = s;
                all_exact &= d.exact;
                tie |= d.tie_broken;
                if (r.status == VORN_STATUS_INVALID || r.distance == UINT32_MAX) all_distances = false;
                else distance_sum += r.distance;
            }
            const bool assigned = failed == n_slots;
            const uint64_t umi = note_umi(b, i, assigned, shift_row);
            const uint32_t status = assigned ? VORN_STATUS_UNIQUE : b.slots[failed].decisions[i].result.status;
            ++c.status[status_slot(status)];
            if (status != VORN_STATUS_INVALID && all_distances) {
                if (c.by_best.size() <= distance_sum) c.by_best.resize(size_t{distance_sum} + 1);
                ++c.by_best[distance_sum];
            }
            if (status != VORN_STATUS_UNIQUE) continue;
            if (all_exact) {
                ++c.exact;
            } else {
                ++c.corrected;
                c.ties_broken += tie;
            }
            // Entry indices big-endian, so that keys sort as the tuples do.
            std::string key;
            for (const size_t s : L_.cells) {
                const uint32_t e = b.slots[s].decisions[i].result.ref_index;
                const char bytes[4] = {static_cast<char>(e >> 24), static_cast<char>(e >> 16),
                                       static_cast<char>(e >> 8), static_cast<char>(e)};
                key.append(bytes, 4);
            }
            b.keys.push_back(std::move(key));
            b.key_exact.push_back(all_exact);
            if (counts_umis_) {
                b.key_umi_ok.push_back(b.umi_counted[i]);
                b.key_umi.push_back(umi);
            }
        }
    }

    // Notes read i's UMI (when the structure has one) in b.umi and whether
    // it is counted; its code when it is.
    uint64_t note_umi(rs_batch &b, size_t i, bool assigned, std::vector<uint32_t> &row) const {
        if (L_.umis.empty()) return 0;
        uint64_t code = 0;
        b.umi_off.push_back(b.umi.size());
        const bool coded = b.short_read[i] == 0 && umi_of(b, i, assigned, row, &code);
        b.umi_counted.push_back(assigned && coded && counts_umis_);
        return code;
    }

    // The UMI of code at out, its segments' bases joined by '-'.
    void write_umi(uint64_t code, char *out) const {
        size_t bit = 2 * umi_length_, k = 0;
        for (size_t u = 0; u < L_.umis.size(); ++u) {
            if (u) out[k++] = '-';
            for (uint64_t c = 0; c < L_.umis[u].second.length; ++c) {
                bit -= 2;
                out[k++] = "ACGT"[(code >> bit) & 3];
            }
        }
    }

    // Read i's UMI, its segments in order joined by '-', appended to b.umi:
    // each segment after where the read's barcodes before it ended when the
    // read is assigned (moved), else where the structure puts it.  Its code
    // into *code; false when a segment holds another byte than A, C, G, T,
    // the read ends first, or the UMI is too long for a code.  row is
    // scratch.
    bool umi_of(rs_batch &b, size_t i, bool moved, std::vector<uint32_t> &row, uint64_t *code) const {
        const size_t files = L_.reads.size(), n_slots = L_.slots.size();
        bool ok = true;
        *code = 0;
        for (size_t u = 0; u < L_.umis.size(); ++u) {
            const auto &[r, seg] = L_.umis[u];
            const size_t off = b.rec_off[i * files + r], len = b.rec_len[i * files + r];
            const std::string_view read = std::string_view(b.arena).substr(off, len);
            // A barcode before it that lost or gained a base moves it.
            long shift = 0;
            for (size_t s = 0; s < n_slots && moved; ++s) {
                const barcode_slot &slot = L_.slots[s];
                const vorn_rescue_result &d = b.slots[s].decisions[i].result;
                if (slot.read != r || slot.seg.offset > seg.offset || extra_[s] == 0 || d.distance == 0) continue;
                const entry_text text = list_of(s).entry(d.ref_index);
                const std::string_view entry = text;
                const size_t from = static_cast<size_t>(slot.seg.offset);
                shift += barcode_shift(read.substr(from, entry.size() + extra_[s]), entry, extra_[s], row);
            }
            if (u) b.umi.push_back('-');
            const long start = static_cast<long>(seg.offset) + shift;
            const uint64_t end = seg.rest ? len : static_cast<uint64_t>(start) + seg.length;
            if (start < 0 || end > len) {
                ok = false;
                continue;
            }
            const std::string_view text = read.substr(static_cast<size_t>(start), static_cast<size_t>(end - static_cast<uint64_t>(start)));
            // Upper case, as barcodes are read.
            b.umi.append(text);
            fold_upper(b.umi.data() + b.umi.size() - text.size(), text.size());
            uint64_t part = 0;
            ok = ok && !seg.rest && umi_code(text, &part);
            *code = seg.length >= umi_max_length ? part : *code << (2 * seg.length) | part;
        }
        return ok;
    }

    // The table's lines, each read's tags and the tagged template reads.
    void format(rs_batch &b) const {
        const size_t n = b.size(), n_slots = L_.slots.size();
        const bool umis = !L_.umis.empty();
        // One barcode segment and no UMI: the single-window job's lines.
        const bool compose = n_slots > 1 || umis;
        for (size_t s = 0; s < n_slots; ++s) {
            slot_batch &sb = b.slots[s];
            sb.rows.window_len = L_.slots[s].seg.length;
            format_rows(sb.rows, sb.decisions.data(), list_of(s), opt_.rescue, compose ? &sb.lines : &b.table);
        }
        std::vector<size_t> at(n_slots, 0);
        std::string cell;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t short_read = b.short_read[i];
            cell.clear();
            size_t failed = n_slots;
            for (size_t s = 0; s < n_slots && failed == n_slots; ++s)
                if (b.slots[s].decisions[i].result.status != VORN_STATUS_UNIQUE) failed = s;
            if (failed == n_slots)
                for (const size_t s : L_.cells) {
                    if (!cell.empty()) cell.push_back('-');
                    cell.append(list_of(s).entry(b.slots[s].decisions[i].result.ref_index));
                }
            // Read i's UMI, and whether the outputs give its correction.
            const size_t umi_end = i + 1 < n ? (umis ? b.umi_off[i + 1] : 0) : b.umi.size();
            const std::string_view umi =
                umis ? std::string_view(b.umi).substr(b.umi_off[i], umi_end - b.umi_off[i]) : std::string_view();
            // Its correction: the UMI itself when the outputs did not wait.
            const std::string_view fixed =
                defers_ ? std::string_view(b.umi_fixed).substr(b.umi_off[i], umi.size()) : umi;
            const bool counted = umis && b.umi_counted[i];
            if (compose) {
                if (n_slots > 1) {
                    b.table.append(b.arena, b.name_off[i], b.name_len[i]);
                    b.table.push_back('\t');
                    b.table += failed == n_slots
                                   ? "unique"
                                   : status_names[status_slot(b.slots[failed].decisions[i].result.status)];
                    b.table.push_back('\t');
                    b.table += cell.empty() ? "-" : cell;
                    b.table.push_back('\t');
                    if (short_read) b.table += "R" + std::to_string(short_read);
                    else if (failed < n_slots) b.table += L_.slots[failed].name;
                    else b.table.push_back('-');
                }
                for (size_t s = 0; s < n_slots; ++s) {
                    const std::string &lines = b.slots[s].lines;
                    const size_t end = lines.find('\n', at[s]);
                    b.table.append(lines, at[s], end - at[s]);
                    at[s] = end + 1;
                }
                if (umis) {
                    b.table.push_back('\t');
                    b.table += umi.empty() ? "-" : umi;
                    b.table.push_back('\t');
                    b.table += counted ? fixed : "-";
                }
                b.table.push_back('\n');
            }
            if (!with_templates_) continue;
            // The SAM tags of the read.
            b.tag_off.push_back(b.tags.size());
            if (!cell.empty()) {
                b.tags += "\tCB:Z:";
                b.tags += cell;
            }
            if (short_read == 0) {
                append_tags(b, i, L_.cells, "\tCR:Z:", "\tCY:Z:");
                append_tags(b, i, L_.samples, "\tBC:Z:", "\tQT:Z:");
                if (!L_.umis.empty()) {
                    b.tags += "\tUR:Z:";
                    for (size_t u = 0; u < L_.umis.size(); ++u) {
                        if (u) b.tags.push_back('-');
                        append_segment(b, i, L_.umis[u].first, L_.umis[u].second, false);
                    }
                    b.tags += "\tUY:Z:";
                    for (size_t u = 0; u < L_.umis.size(); ++u) {
                        if (u) b.tags.push_back(' ');
                        append_segment(b, i, L_.umis[u].first, L_.umis[u].second, true);
                    }
                }
            }
            if (counted) {
                b.tags += "\tUB:Z:";
                b.tags += fixed;
            }
            for (size_t t = 0; t < L_.template_reads.size() && !opt_.out_fastq.empty(); ++t) {
                std::string &out = b.fastq[t];
                const size_t r = L_.template_reads[t];
                out.push_back('@');
                out += mate_name(std::string_view(b.arena).substr(b.name_off[i], b.name_len[i]));
                out.append(b.tags, b.tag_off[i], std::string::npos);
                out.push_back('\n');
                append_template(b, i, r, false, out);
                out += "\n+\n";
                append_template(b, i, r, true, out);
                out.push_back('\n');
            }
        }
    }

    // The raw bases (or qualities) of segment seg of file r of read i.
    void append_segment(rs_batch &b, size_t i, size_t r, const read_segment &seg, bool qual) const {
        const size_t files = L_.reads.size();
        const size_t off = b.rec_off[i * files + r], len = b.rec_len[i * files + r];
        const auto [start, end] = clamp_slice(seg, len);
        b.tags.append(b.arena, off + (qual ? len : 0) + start, end - start);
    }

    void append_tags(rs_batch &b, size_t i, const std::vector<size_t> &slots, const char *seq_tag,
                     const char *qual_tag) const {
        if (slots.empty()) return;
        for (const bool qual : {false, true}) {
            b.tags += qual ? qual_tag : seq_tag;
            for (size_t k = 0; k < slots.size(); ++k) {
                if (k) b.tags.push_back(qual ? ' ' : '-');
                const barcode_slot &slot = L_.slots[slots[k]];
                append_segment(b, i, slot.read, slot.seg, qual);
            }
        }
    }

    const assign_options &opt_;
    const run_layout &L_;
    const std::vector<std::unique_ptr<run_list>> &lists_;
    const std::vector<std::unique_ptr<decider>> &deciders_;
    std::vector<uint64_t> extra_;
    bool with_templates_ = false;
    bool counts_umis_ = false;
    bool table_wanted_ = false, defers_ = false;
    std::vector<uint8_t> umi_file_;  // files whose reads the batch keeps for their UMIs
    size_t umi_length_ = 0;
    std::vector<fastq_record> recs_;
};

std::string table_header_for(const run_layout &L) {
    std::string h;
    if (L.slots.size() == 1) {
        h = table_header;
        h.pop_back();
    } else {
        h = "read\tstatus\tcell\tfailed_segment";
        for (const barcode_slot &s : L.slots)
            for (const char *col :
                 {"observed", "status", "assigned", "distance", "second_distance", "hits", "posterior", "candidates"})
                h += std::string("\t") + col + "_" + s.name;
    }
    if (!L.umis.empty()) h += "\tumi\tumi_corrected";
    return h + "\n";
}

}  // namespace

void run_structured(assign_report *report_ptr, const warning_sink &warn) {
    assign_report &report = *report_ptr;
    assign_options &opt = report.options;
    assign_timing &t = report.timing;
    if (opt.whitelist_paths.empty()) opt.whitelist_paths.push_back(opt.whitelist_path);
    opt.whitelist_path = opt.whitelist_paths.front();
    if (opt.has_barcode_length || opt.barcode_start != 0)
        throw usage_error("--barcode-start and --barcode-length do not go with --read-structure");
    const run_layout L = plan_layout(opt);
    if (opt.lanes.empty())  // one file a lane, given as plain paths
        for (const std::string &p : opt.reads_paths) opt.lanes.push_back({p});
    if (opt.lanes.empty()) throw usage_error("--reads is required");
    const size_t files = L.reads.size();
    const std::vector<std::vector<std::string>> &lanes = opt.lanes;  // [lane][file]
    std::vector<std::string> all_paths;
    for (size_t l = 0; l < lanes.size(); ++l) {
        if (lanes[l].size() != files)
            throw usage_error("--reads names " + std::to_string(lanes[l].size()) + " files for lane " +
                              std::to_string(l + 1) + " and " + std::to_string(files) +
                              " read structures: give each lane's files, one per structure");
        for (const std::string &p : lanes[l]) {
            if (p.empty()) throw usage_error("--reads holds an empty file name");
            all_paths.push_back(p);
        }
    }
    opt.reads_paths = all_paths;
    if (!opt.segment_bounds.empty() && opt.segment_bounds.size() != L.slots.size())
        throw usage_error(std::string(opt.hamming ? "--max-mismatches" : "--max-edits") + " gives " +
                          std::to_string(opt.segment_bounds.size()) + " bounds for " +
                          std::to_string(L.slots.size()) + " barcode segments: give one, or one per segment");
    const auto stdin_reads = std::count(all_paths.begin(), all_paths.end(), "-");
    const bool stdin_list = std::count(L.lists.begin(), L.lists.end(), "-") > 0;
    if (stdin_reads > 1 || (stdin_reads > 0 && stdin_list))
        throw usage_error("standard input ('-') can be read only once, by one --reads file or --whitelist");
    std::vector<input_path> inputs;
    for (const std::string &p : all_paths) inputs.push_back({"--reads", p});
    for (const std::string &p : L.lists) inputs.push_back({"--whitelist", p});
    std::vector<output_target *> outs = {&opt.out, &opt.summary, &opt.counts, &opt.knee, &opt.cells, &opt.out_bam};
    for (output_target &o : opt.out_fastq) outs.push_back(&o);
    plan_outputs(inputs, outs);

    double t0 = now_seconds();
    std::vector<std::unique_ptr<run_list>> lists;
    for (const std::string &path : L.lists) {
        lists.push_back(std::make_unique<run_list>());
        lists.back()->ref.list = load_whitelist(path, {.max_line_length = opt.max_line_length, .compact = true});
        warn_about_whitelist(lists.back()->ref.list, opt, warn);
    }
    for (const barcode_slot &s : L.slots) {
        const whitelist &wl = lists[s.list]->ref.list;
        if (wl.min_length == wl.max_length && wl.min_length != s.seg.length)
            warn("warning: segment " + s.name + " is " + std::to_string(s.seg.length) + " bases, the entries of '" +
                 L.lists[s.list] + "' " + std::to_string(wl.min_length));
    }
    report.whitelist_entries = lists[0]->ref.list.size();
    report.whitelist_repeats_dropped = lists[0]->ref.list.repeats_dropped;
    t.load = now_seconds() - t0;

    // The passes over the reads: the exact counts (with the rescue) read the
    // counted files; the decisions read every file, or only the counted
    // ones when the outputs wait for the corrected UMIs, and a third pass
    // then reads every file to write.  A file read more than once that
    // cannot be read again is spooled first.
    t0 = now_seconds();
    std::map<std::string, std::unique_ptr<input_spool>> spools;
    const std::vector<size_t> counted = counted_files(L);
    const bool wait = outputs_wait(opt, L);
    for (const auto &lane : lanes)
        for (size_t j = 0; j < files; ++j) {
            const bool is_counted = std::count(counted.begin(), counted.end(), j) > 0;
            const unsigned passes = unsigned{opt.rescue && is_counted} + unsigned{!wait || is_counted} + unsigned{wait};
            if (passes > 1 && needs_spool(lane[j]) && !spools.count(lane[j]))
                spools[lane[j]] = std::make_unique<input_spool>(lane[j], passes);
        }
    report.spooled = !spools.empty();
    t.spool = report.spooled ? now_seconds() - t0 : 0;
    for (size_t l = 0; l < lanes.size(); ++l) {
        reads_input_report in{opt.reads_paths[l]};
        for (const std::string &p : lanes[l])
            if (spools.count(p)) in.spool_bytes += spools[p]->spooled_bytes();
        report.inputs.push_back(in);
    }
    auto open_pass = [&](const std::vector<size_t> &which) {
        std::vector<std::unique_ptr<fastq_inputs>> streams;
        for (const size_t j : which) {
            std::vector<std::string> paths;
            std::vector<int> fds;
            for (const auto &lane : lanes) {
                paths.push_back(lane[j]);
                const auto sp = spools.find(lane[j]);
                fds.push_back(sp != spools.end() ? sp->second->take_reader() : -1);
            }
            streams.push_back(std::make_unique<fastq_inputs>(paths, std::move(fds), opt.max_line_length,
                                                             opt.threads > 1));
        }
        return std::make_unique<parallel_fastq>(std::move(streams));
    };
    std::vector<size_t> every_file(files);
    for (size_t j = 0; j < files; ++j) every_file[j] = j;
    const std::vector<size_t> &deciding = wait ? counted : every_file;
    auto in = open_pass(deciding);

    t0 = now_seconds();
    uint64_t reads_bytes = 0;
    for (size_t j = 0; j < files; ++j)
        for (size_t l = 0; l < lanes.size(); ++l) {
            const auto sp = spools.find(lanes[l][j]);
            struct stat st;
            if (sp != spools.end()) reads_bytes += sp->second->input_bytes();
            else if (stat(lanes[l][j].c_str(), &st) == 0 && S_ISREG(st.st_mode))
                reads_bytes += static_cast<uint64_t>(st.st_size);
        }
    // Each segment's own bound; a list serves its segments at the largest.
    std::vector<assign_options> bounded(L.slots.size(), opt);
    for (size_t s = 0; s < L.slots.size() && !opt.segment_bounds.empty(); ++s) bounded[s].k = opt.segment_bounds[s];
    for (size_t i = 0; i < lists.size(); ++i) {
        assign_options widest = opt;
        widest.k = 0;
        for (size_t s = 0; s < L.slots.size(); ++s)
            if (L.slots[s].list == i) widest.k = std::max(widest.k, bounded[s].k);
        build_reference_index(&lists[i]->ref, search_tables(widest, reads_bytes));
    }
    t.build = now_seconds() - t0;

    std::vector<std::vector<uint64_t>> exact_counts(L.slots.size());
    std::vector<std::unique_ptr<decider>> deciders;
    for (size_t s = 0; s < L.slots.size(); ++s) {
        const reference &ref = lists[L.slots[s].list]->ref;
        deciders.push_back(
            std::make_unique<decider>(ref.index.get(), ref.list.size(), bounded[s], exact_counts[s], &ref.list));
    }
    structured_job job(opt, L, lists, deciders);
    if (opt.rescue) {
        t0 = now_seconds();
        for (size_t s = 0; s < L.slots.size(); ++s) exact_counts[s].assign(lists[L.slots[s].list]->ref.list.size(), 0);
        auto first = open_pass(counted);
        job.count_exact(*first, exact_counts);
        t.abundance = now_seconds() - t0;
    }

    output_group outputs;
    output_file *table = opt.out.requested() ? outputs.open(opt.out) : nullptr;
    if (table) table->write(table_header_for(L));
    std::vector<output_file *> fastq_out;
    for (const output_target &o : opt.out_fastq) fastq_out.push_back(outputs.open(o));
    std::unique_ptr<bam_writer> bam;
    if (opt.out_bam.requested())
        bam = std::make_unique<bam_writer>(outputs.open(opt.out_bam), opt.out_bam, opt.command_line);

    // Cell identities as they come, numbered in order of appearance.
    std::unordered_map<std::string, uint32_t> ids_of;
    std::vector<const std::string *> id_keys;
    std::vector<uint64_t> id_exact, id_rescued;
    umi_pairs pairs;  // (identity, UMI) pairs with their reads
    for (size_t s = 0; s < L.slots.size(); ++s) {
        const barcode_slot &slot = L.slots[s];
        report.segments.push_back({slot.name, slot.read, slot.seg.offset, slot.seg.length, L.lists[slot.list],
                                   lists[slot.list]->ref.list.size()});
    }
    // A batch's BAM records encoded and every output compressed, on the
    // worker, each batch a gzip member (or BGZF blocks) of its own, so that
    // every thread deflates rather than the one that writes; then written
    // in order.
    auto encode_and_pack = [&](rs_batch &b) {
        b.bam.clear();
        if (bam) {
            std::string seq[2], qual[2];
            const size_t n_t = L.template_reads.size();
            for (size_t i = 0; i < b.size(); ++i) {
                for (size_t k = 0; k < n_t; ++k) {
                    seq[k].clear();
                    qual[k].clear();
                    job.append_template(b, i, L.template_reads[k], false, seq[k]);
                    job.append_template(b, i, L.template_reads[k], true, qual[k]);
                }
                const size_t tag_end = i + 1 < b.size() ? b.tag_off[i + 1] : b.tags.size();
                bam->encode(b.bam, mate_name(std::string_view(b.arena).substr(b.name_off[i], b.name_len[i])), seq,
                            qual, n_t, std::string_view(b.tags).substr(b.tag_off[i], tag_end - b.tag_off[i]));
            }
        }
        for (size_t k = 0; k < fastq_out.size(); ++k) fastq_out[k]->pack(b.fastq[k], b.packed);
        if (table) table->pack(b.table, b.packed);
        if (bam) {
            bgzf_blocks(b.bam, b.packed);
            std::swap(b.bam, b.packed);
        }
    };
    auto write_outputs = [&](const rs_batch &b) {
        if (table) table->write_member(b.table);
        for (size_t k = 0; k < fastq_out.size(); ++k) fastq_out[k]->write_member(b.fastq[k]);
        if (bam) bam->write_blocks(b.bam);
    };
    // When the outputs wait: each batch's decisions and counted identities.
    std::unique_ptr<held_batches> held;
    std::vector<size_t> held_reads;  // of each held batch
    if (job.defers()) held = std::make_unique<held_batches>();
    progress_meter progress("reads");
    const double start = now_seconds();
    run_in_order<rs_batch>(
        opt.threads,
        [&](rs_batch &b) {
            const double p0 = thread_cpu_seconds();
            const bool more = job.fill(*in, b, deciding);
            t.parse += thread_cpu_seconds() - p0;
            return more;
        },
        [&](rs_batch &b) {
            job.process(b);
            if (!held) encode_and_pack(b);
        },
        [&](rs_batch &b) {
            const double w0 = thread_cpu_seconds();
            if (!held) write_outputs(b);
            t.write += thread_cpu_seconds() - w0;
            t.decide += b.decide_seconds;
            t.format += b.format_seconds;
            report.counts.add(b.counts);
            for (size_t s = 0; s < L.slots.size(); ++s)
                for (size_t k = 0; k < status_slots; ++k) report.segments[s].status[k] += b.slot_status[s][k];
            b.ids.clear();
            for (size_t i = 0; i < b.keys.size(); ++i) {
                const auto [it, added] = ids_of.try_emplace(b.keys[i], static_cast<uint32_t>(id_exact.size()));
                if (added) {
                    id_keys.push_back(&it->first);
                    id_exact.push_back(0);
                    id_rescued.push_back(0);
                }
                ++(b.key_exact[i] ? id_exact : id_rescued)[it->second];
                if (job.counts_umis() && b.key_umi_ok[i]) {
                    pairs.add(it->second, b.key_umi[i]);
                    if (held) b.ids.append(reinterpret_cast<const char *>(&it->second), sizeof(uint32_t));
                }
            }
            if (held) {
                held->put({b.decided, b.ids});
                held_reads.push_back(b.size());
            }
            progress.update(report.counts.reads, in->fraction_read());
        });
    t.wall = now_seconds() - start;
    progress.finish();
    for (size_t l = 0; l < lanes.size(); ++l) report.inputs[l].reads = in->stream(0).records_by_input()[l];

    // Identities renumbered in the order of their entries, so that ties
    // rank as the single-window job ranks entries.
    std::vector<uint32_t> by_key(id_keys.size());
    for (uint32_t i = 0; i < by_key.size(); ++i) by_key[i] = i;
    std::sort(by_key.begin(), by_key.end(), [&](uint32_t a, uint32_t b) { return *id_keys[a] < *id_keys[b]; });
    barcode_tally &tally = report.tally;
    tally.exact.assign(by_key.size());
    tally.rescued.assign(by_key.size());
    for (size_t r = 0; r < by_key.size(); ++r) {
        tally.exact.set(r, id_exact[by_key[r]]);
        tally.rescued.set(r, id_rescued[by_key[r]]);
        const std::string &key = *id_keys[by_key[r]];
        std::string name;
        for (size_t c = 0; c < L.cells.size(); ++c) {
            const unsigned char *p = reinterpret_cast<const unsigned char *>(key.data()) + 4 * c;
            const uint32_t e = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
            if (c) name.push_back('-');
            name.append(lists[L.slots[L.cells[c]].list]->ref.list.entry(e));
        }
        report.identities.push_back(std::move(name));
    }
    if (job.counts_umis()) {
        // Molecules: the identity's distinct UMIs, once grouped.
        const double u0 = now_seconds();
        report.umi_pairs = pairs.size();
        report.umi_pair_bytes = pairs.bytes();
        std::vector<uint64_t> molecules;
        pairs.group(job.umi_length(), opt.umi_correct, &molecules);
        tally.umis.assign(by_key.size(), 0);
        for (uint32_t r = 0; r < by_key.size(); ++r)
            if (by_key[r] < molecules.size()) tally.umis[r] = molecules[by_key[r]];
        t.umis = now_seconds() - u0;
    }
    if (held) {
        // The reads again, each batch formatted from its held decisions with
        // the corrected UMIs.
        const double r0 = now_seconds();
        report.umi_held_bytes = held->bytes();
        auto again = open_pass(every_file);
        progress_meter rewriting("reads written");
        uint64_t written = 0;
        size_t frame = 0;
        run_in_order<rs_batch>(
            opt.threads,
            [&](rs_batch &b) {
                const double p0 = thread_cpu_seconds();
                const bool more = job.fill(*again, b, every_file);
                t.parse += thread_cpu_seconds() - p0;
                if (held->get(b.held_parts) != more || (more && b.size() != held_reads[frame++]))
                    throw data_error("the reads changed between the passes over them");
                return more;
            },
            [&](rs_batch &b) {
                job.replay(b, pairs);
                encode_and_pack(b);
            },
            [&](rs_batch &b) {
                const double w0 = thread_cpu_seconds();
                write_outputs(b);
                t.write += thread_cpu_seconds() - w0;
                t.format += b.format_seconds;
                written += b.size();
                rewriting.update(written, static_cast<double>(written) / static_cast<double>(report.counts.reads));
            });
        rewriting.finish();
        t.umi_rewrite = now_seconds() - r0;
    }
    rank_barcodes(&tally);
    {
        std::vector<uint64_t> totals(tally.order.size());
        for (size_t r = 0; r < totals.size(); ++r) totals[r] = tally.total(tally.order[r]);
        report.cells = call_cells(totals);
    }
    write_reports(report, lists[0]->ref.list, &outputs);
    if (bam) bam->end();
    outputs.commit();
    if (report.counts.lower_case_reads)
        warn("warning: " + format_count(report.counts.lower_case_reads) +
             " reads hold lower-case bases in a barcode; they were read as upper case");
    if (report.counts.short_reads)
        warn("warning: " + format_count(report.counts.short_reads) +
             " reads are shorter than their read structure; they are invalid");
}

}  // namespace velmora_pipeline
