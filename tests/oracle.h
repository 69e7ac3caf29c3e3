// The naive oracle: distances and records computed straight from their
// definitions, sharing no code with the library, so that a bug in a library
// helper cannot hide in both.
#ifndef VELMORA_TESTS_ORACLE_H
#define VELMORA_TESTS_ORACLE_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "velmora.h"

namespace oracle {

// A sequence as the tests pass it: bytes, plus a flag for "null pointer"
// (with the length the caller claims).
struct seq {
    std::string bytes;
    bool null_ptr = false;
    size_t claimed_len = 0;  // used only when null_ptr
    size_t len() const { return null_ptr ? claimed_len : bytes.size(); }
    bool invalid() const { return null_ptr && claimed_len != 0; }
};

// Full-matrix Levenshtein distance.
inline uint32_t levenshtein(const std::string &a, const std::string &b) {
    const size_t n = a.size(), m = b.size();
    std::vector<std::vector<uint32_t>> d(n + 1, std::vector<uint32_t>(m + 1));
    for (size_t i = 0; i <= n; ++i) d[i][0] = static_cast<uint32_t>(i);
    for (size_t j = 0; j <= m; ++j) d[0][j] = static_cast<uint32_t>(j);
    for (size_t i = 1; i <= n; ++i)
        for (size_t j = 1; j <= m; ++j)
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0u : 1u)});
    return d[n][m];
}

// Number of differing positions, or UINT32_MAX for different lengths.
inline uint32_t hamming(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return UINT32_MAX;
    uint32_t d = 0;
    for (size_t i = 0; i < a.size(); ++i) d += a[i] != b[i];
    return d;
}

// The 2-bit code by its definition: at most 32 bytes, all upper-case
// A/C/G/T, base i in bits 2i and 2i + 1.  False (code untouched) otherwise.
inline bool dna2(const std::string &s, uint64_t *code) {
    if (s.size() > 32) return false;
    static const char bases[] = "ACGT";
    uint64_t c = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const char *p = std::char_traits<char>::find(bases, 4, s[i]);
        if (p == nullptr) return false;
        c |= static_cast<uint64_t>(p - bases) << (2 * i);
    }
    *code = c;
    return true;
}
inline bool encodable(const std::string &s) {
    uint64_t c;
    return dna2(s, &c);
}

inline vorn_match match_none() { return {UINT32_MAX, UINT32_MAX, UINT32_MAX, 0, VORN_STATUS_NONE}; }
inline vorn_match match_invalid() {
    return {UINT32_MAX, UINT32_MAX, UINT32_MAX, 0, VORN_STATUS_INVALID};
}

// The record of one query against every reference, given a distance
// function (UINT32_MAX = not comparable).  Written as the definition reads:
// collect all hits, then derive each field.
template <class Dist>
vorn_match match_record(const seq &q, const std::vector<seq> &refs, uint32_t k, Dist dist) {
    if (q.invalid()) return match_invalid();
    std::vector<std::pair<uint32_t, uint32_t>> hits;  // (distance, position)
    for (size_t r = 0; r < refs.size(); ++r) {
        if (refs[r].invalid()) return match_invalid();
        const uint32_t d = dist(q.bytes, refs[r].bytes);
        if (d <= k) hits.push_back({d, static_cast<uint32_t>(r)});
    }
    if (hits.empty()) return match_none();
    std::sort(hits.begin(), hits.end());
    vorn_match m = match_none();
    m.best_distance = hits[0].first;
    m.best_index = hits[0].second;
    m.hit_count = static_cast<uint32_t>(hits.size());
    size_t at_best = 0;
    for (const auto &h : hits) {
        if (h.first == m.best_distance) ++at_best;
        else if (m.second_distance == UINT32_MAX) m.second_distance = h.first;
    }
    m.status = at_best >= 2 ? VORN_STATUS_AMBIGUOUS : VORN_STATUS_UNIQUE;
    return m;
}

// Brute-force edit-distance record (what vorn_match_many gives).
inline vorn_match edit_record(const seq &q, const std::vector<seq> &refs, uint32_t k) {
    return match_record(q, refs, k, levenshtein);
}

// Hamming record: only references of the query's exact length can be hits.
inline vorn_match hamming_record(const seq &q, const std::vector<seq> &refs, uint32_t k) {
    return match_record(q, refs, k, hamming);
}

// Brute-force assignment record with edit class.
inline vorn_assignment assignment_record(const seq &q, const std::vector<seq> &refs, uint32_t k,
                                         bool require_single_hit) {
    vorn_assignment a{UINT32_MAX, UINT32_MAX, UINT32_MAX, 0, 0, VORN_STATUS_NONE, VORN_EDIT_NONE};
    const vorn_match m = edit_record(q, refs, k);
    if (m.status == VORN_STATUS_INVALID) {
        a.status = VORN_STATUS_INVALID;
        a.edit_class = VORN_EDIT_INVALID;
        return a;
    }
    if (m.hit_count == 0) return a;
    a.best_index = m.best_index;
    a.best_distance = m.best_distance;
    a.second_distance = m.second_distance;
    a.hit_count = m.hit_count;
    for (const auto &r : refs)
        if (levenshtein(q.bytes, r.bytes) == m.best_distance) ++a.best_count;
    a.status = (a.best_count >= 2 || (require_single_hit && a.hit_count > 1)) ? VORN_STATUS_AMBIGUOUS
                                                                              : VORN_STATUS_UNIQUE;
    const size_t ql = q.bytes.size(), rl = refs[a.best_index].bytes.size();
    switch (a.best_distance) {
        case 0: a.edit_class = VORN_EDIT_EXACT; break;
        case 1:
            a.edit_class = ql == rl ? VORN_EDIT_SUBSTITUTION
                           : ql > rl ? VORN_EDIT_INSERTION
                                     : VORN_EDIT_DELETION;
            break;
        case 2: a.edit_class = VORN_EDIT_TWO; break;
        default: a.edit_class = VORN_EDIT_OTHER; break;
    }
    return a;
}

}  // namespace oracle

#endif
