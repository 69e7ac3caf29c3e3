#include "bench_data.h"

#include <zlib.h>

#include <cstdio>


namespace velmora_bench {

std::string random_seq(rng &r, size_t len) {
    std::string s(len, 'A');
    for (auto &c : s) c = r.base();
    return s;
}

void apply_edit(rng &r, std::string &s, edit_kind kind) {
    if (s.empty()) kind = edit_kind::insertion;
    switch (kind) {
        case edit_kind::substitution: {
            const size_t p = r.below(s.size());
            s[p] = r.other_base(s[p]);
            break;
        }
        case edit_kind::insertion:
            s.insert(s.begin() + static_cast<std::ptrdiff_t>(r.below(s.size() + 1)), r.base());
            break;
        case edit_kind::deletion:
            s.erase(s.begin() + static_cast<std::ptrdiff_t>(r.below(s.size())));
            break;
    }
}

void apply_random_edit(rng &r, std::string &s) {
    apply_edit(r, s, static_cast<edit_kind>(r.below(3)));
}

std::string related_copy(rng &r, const std::string &s, unsigned percent) {
    std::string out = s;
    size_t edits = (s.size() * percent + 50) / 100;
    if (edits == 0) edits = 1;
    for (size_t i = 0; i < edits; ++i) apply_random_edit(r, out);
    return out;
}

void seq_list::finish() {
    ptrs.resize(seqs.size());
    lens.resize(seqs.size());
    for (size_t i = 0; i < seqs.size(); ++i) {
        ptrs[i] = reinterpret_cast<const uint8_t *>(seqs[i].data());
        lens[i] = seqs[i].size();
    }
}

seq_list random_refs(uint64_t seed, size_t n, size_t len) {
    rng r(seed);
    seq_list out;
    out.seqs.reserve(n);
    for (size_t i = 0; i < n; ++i) out.seqs.push_back(random_seq(r, len));
    out.finish();
    return out;
}

seq_list load_whitelist(const std::string &path, std::string *error) {
    seq_list out;
    gzFile f = gzopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = "cannot open " + path;
        return out;
    }
    char line[256];
    while (gzgets(f, line, sizeof line) != nullptr) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (!s.empty()) out.seqs.push_back(std::move(s));
    }
    gzclose(f);
    if (out.seqs.empty()) *error = "no sequences in " + path;
    out.finish();
    return out;
}

read_batch draw_reads(const seq_list &refs, uint64_t seed, size_t n) {
    rng r(seed);
    read_batch out;
    out.reads.seqs.reserve(n);
    out.classes.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        std::string s = refs.seqs[r.below(refs.size())];
        const size_t roll = r.below(100);
        read_class c;
        if (roll < 85) {
            c = READ_EXACT;
        } else if (roll < 95) {
            c = READ_SUB;
            apply_edit(r, s, edit_kind::substitution);
        } else if (roll < 98) {
            c = READ_INDEL;
            apply_edit(r, s, (r.next() & 1) ? edit_kind::insertion : edit_kind::deletion);
        } else if (roll < 99) {
            c = READ_TWO;
            apply_random_edit(r, s);
            apply_random_edit(r, s);
        } else {
            c = READ_N;
            if (!s.empty()) s[r.below(s.size())] = 'N';
        }
        out.reads.seqs.push_back(std::move(s));
        out.classes.push_back(c);
    }
    out.reads.finish();
    return out;
}

rescue_reads draw_rescue_reads(const seq_list &refs, uint64_t seed, size_t n, size_t cells,
                               size_t tail, const std::function<bool(const std::string &)> &keep) {
    rng r(seed);
    rescue_reads out;
    out.counts.assign(refs.size(), 0);
    std::vector<size_t> cell;
    for (size_t c = 0; c < cells; ++c) {
        cell.push_back(r.below(refs.size()));
        out.counts[cell.back()] += uint64_t{1} << r.below(13);
    }
    while (out.reads.size() < n) {
        std::string read = refs.seqs[r.below(10) < 9 ? cell[r.below(cell.size())] : r.below(refs.size())];
        const size_t errors = r.below(3);
        for (size_t e = 0; e < errors; ++e) {
            const size_t kind = r.below(4);
            if (kind < 3) {
                apply_edit(r, read, static_cast<edit_kind>(kind));
            } else if (!read.empty()) {
                read[r.below(read.size())] = 'N';
            }
        }
        read += random_seq(r, tail);
        std::string quals(read.size(), 'I');
        for (char &c : quals) c = static_cast<char>(33 + 20 + r.below(21));
        if (!keep(read)) continue;
        out.reads.push_back(std::move(read));
        out.quals.push_back(std::move(quals));
    }
    return out;
}

std::vector<size_t> stratified_sample(const read_batch &batch, size_t per_class) {
    size_t taken[READ_CLASSES] = {};
    std::vector<size_t> out;
    for (size_t i = 0; i < batch.classes.size(); ++i) {
        if (taken[batch.classes[i]] < per_class) {
            ++taken[batch.classes[i]];
            out.push_back(i);
        }
    }
    return out;
}

// Brute-force Hamming record, written out from the record's definition:
// best_index the lowest position at the smallest distance, second_distance
// the smallest distance above it.
vorn_match brute_hamming(const seq_list &refs, const std::string &q, uint32_t k) {
    vorn_match m{UINT32_MAX, UINT32_MAX, UINT32_MAX, 0, VORN_STATUS_NONE};
    uint32_t at_best = 0;
    for (size_t i = 0; i < refs.size(); ++i) {
        const std::string &s = refs.seqs[i];
        if (s.size() != q.size()) continue;
        uint32_t d = 0;
        for (size_t j = 0; j < s.size() && d <= k; ++j) d += s[j] != q[j];
        if (d > k) continue;
        ++m.hit_count;
        if (d < m.best_distance) {
            m.second_distance = m.best_distance;
            m.best_distance = d;
            m.best_index = static_cast<uint32_t>(i);
            at_best = 1;
        } else if (d == m.best_distance) {
            ++at_best;
        } else if (d < m.second_distance) {
            m.second_distance = d;
        }
    }
    if (m.hit_count > 0) m.status = at_best >= 2 ? VORN_STATUS_AMBIGUOUS : VORN_STATUS_UNIQUE;
    return m;
}

bool same_match(const vorn_match &a, const vorn_match &b) {
    return a.best_index == b.best_index && a.best_distance == b.best_distance &&
           a.second_distance == b.second_distance && a.hit_count == b.hit_count &&
           a.status == b.status;
}

std::string describe(const vorn_match &m) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "{best_index=%u best=%u second=%u hits=%u status=%u}",
                  m.best_index, m.best_distance, m.second_distance, m.hit_count, m.status);
    return buf;
}

}  // namespace velmora_bench
