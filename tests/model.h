// The models the differential tests hold the index to, written from the
// documented behaviour over plain strings: what each work counter gains per
// query (or the bounds on it), and what the status-only form may report once
// it stops early.
// Shared by the fuzz harness and the unit tests (no gtest here).
#ifndef VELMORA_TESTS_MODEL_H
#define VELMORA_TESTS_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

#include "gen.h"

namespace model {

using refs_t = std::vector<oracle::seq>;

inline bool is_acgt(char c) { return c == 'A' || c == 'C' || c == 'G' || c == 'T'; }

inline bool encodable(const std::string &s) {
    if (s.size() > 32) return false;
    for (char c : s)
        if (!is_acgt(c)) return false;
    return true;
}

inline char fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

inline std::string folded(const std::string &s) {
    std::string t = s;
    for (auto &c : t) c = fold(c);
    return t;
}

// A record from a list of hit positions, all at distance 0 (exact lookups).
inline vorn_match exact_record(const std::vector<size_t> &hits) {
    vorn_match m = oracle::match_none();
    if (hits.empty()) return m;
    m.best_index = static_cast<uint32_t>(hits[0]);
    m.best_distance = 0;
    m.hit_count = static_cast<uint32_t>(hits.size());
    m.status = hits.size() >= 2 ? VORN_STATUS_AMBIGUOUS : VORN_STATUS_UNIQUE;
    return m;
}

// Exact lookup of one valid query: the record and what each counter gains.
// Byte-exact: an encodable query is answered by the table (identical
// references, each counted); any other query compares every non-encodable
// reference of its length.  Case-folded: every reference equal to the query
// up to ASCII case is a hit, whichever case either side uses; a query that
// folds to A/C/G/T counts its table hits and, like any other query, each
// non-encodable reference of its length.
inline vorn_match exact_expect(const std::string &q, const refs_t &refs, bool fold_case,
                        uint64_t *counted) {
    std::vector<size_t> hits;
    uint64_t table = 0, listed = 0;
    const std::string key = fold_case ? folded(q) : q;
    for (size_t r = 0; r < refs.size(); ++r) {
        const std::string &s = refs[r].bytes;
        if (s.size() != q.size()) continue;
        const bool equal = (fold_case ? folded(s) : s) == key;
        if (encodable(s)) {
            table += equal;
        } else {
            ++listed;
        }
        if (equal) hits.push_back(r);
    }
    if (!encodable(key)) *counted = listed;
    else *counted = table + (fold_case ? listed : 0);
    return exact_record(hits);
}

// The bounds the documented definition puts on what the edit-assignment
// counters gain for one valid query on a non-empty index, whatever route
// serves it: k = 0 is the exact lookup; k > 2 is brute force, every
// reference; otherwise every reference within k is measured, none twice.
template <class Dist>
void assign_count_bounds(const std::string &q, const refs_t &refs, int32_t k, Dist distance,
                         uint64_t *least, uint64_t *most) {
    if (k == 0) {
        exact_expect(q, refs, false, least);
        *most = *least;
        return;
    }
    *most = refs.size();
    *least = k > 2 ? refs.size() : 0;
    if (k > 2) return;
    for (const auto &r : refs) *least += distance(q, r.bytes) <= static_cast<uint32_t>(k);
}

// What the Hamming counters gain for one valid query on a non-empty index,
// k = 1..3.  Long queries compare every reference of their length; an
// A/C/G/T query takes up each encodable reference of its length that agrees
// with it on one of its k + 1 pieces; a query with other bytes reaches only
// its encodable hits; non-encodable references of the length always count.
// Without the piece tables an A/C/G/T query reaches only its hits.
inline uint64_t hamming_counted(const std::string &q, const refs_t &refs, int32_t k, bool no_pieces) {
    const size_t L = q.size();
    uint64_t c = 0;
    for (const auto &r : refs) {
        const std::string &s = r.bytes;
        if (s.size() != L) continue;
        if (L > 32 || !encodable(s)) {
            ++c;
        } else if (encodable(q) && !no_pieces) {
            const size_t parts = static_cast<size_t>(k) + 1, base = L / parts, extra = L % parts;
            bool agrees = false;
            for (size_t j = 0; j < parts && !agrees; ++j) {
                const size_t len = base + (j < extra ? 1 : 0);
                const size_t start = j * base + (j < extra ? j : extra);
                agrees = q.compare(start, len, s, start, len) == 0;
            }
            c += agrees;
        } else {
            c += oracle::hamming(q, s) <= static_cast<uint32_t>(k);
        }
    }
    return c;
}

// Why a status-only record `got` breaks its promise against the full record
// `want` of query q (k = 1 or 2), or null when it keeps it.  It stops a query
// once two references share the best distance found so far: it cannot invent
// a hit, lose the query or undercut the true best distance; when it does not
// stop it is the full search; for k = 1 and A/C/G/T queries its search runs
// in distance order, so the status and best distance are exact.
template <class Dist>
const char *status_only_broken(const vorn_match &got, const vorn_match &want, const oracle::seq &q,
                               const refs_t &refs, int32_t k, Dist distance) {
    const char *broken = nullptr;
    if ((got.status == VORN_STATUS_INVALID) != (want.status == VORN_STATUS_INVALID) ||
        (got.status == VORN_STATUS_NONE) != (want.status == VORN_STATUS_NONE)) {
        broken = "status-only form: INVALID or NONE disagrees with brute force";
    } else if (got.status == VORN_STATUS_INVALID || got.status == VORN_STATUS_NONE) {
        if (!velmora_test::same(got, want)) broken = "status-only form: empty record differs";
    } else if (got.status == VORN_STATUS_UNIQUE && encodable(q.bytes) && k == 1) {
        if (got.best_index != want.best_index || got.best_distance != want.best_distance ||
            want.status != VORN_STATUS_UNIQUE || got.hit_count > want.hit_count)
            broken = "status-only form, k=1: unique answer differs from brute force";
    } else if (got.status == VORN_STATUS_UNIQUE) {
        // A unique answer means the search never stopped early.
        if (!velmora_test::same(got, want)) broken = "status-only form: unique record differs";
    } else {
        // Ambiguous: two references at got.best_distance were found.
        size_t at_best = 0, first = refs.size();
        for (size_t r = 0; r < refs.size(); ++r) {
            if (distance(q.bytes, refs[r].bytes) != got.best_distance) continue;
            ++at_best;
            if (first == refs.size()) first = r;
        }
        if (got.status != VORN_STATUS_AMBIGUOUS || got.best_distance > static_cast<uint32_t>(k) ||
            got.best_distance < want.best_distance || at_best < 2 || got.hit_count < 2 ||
            got.hit_count > want.hit_count || got.best_index >= refs.size() ||
            got.best_index < first ||
            distance(q.bytes, refs[got.best_index].bytes) != got.best_distance)
            broken = "status-only form: ambiguous record impossible";
        if (k == 1 && encodable(q.bytes) &&
            (got.best_distance != want.best_distance || want.status != VORN_STATUS_AMBIGUOUS))
            broken = "status-only form, k=1: ambiguous answer differs from brute force";
    }
    if (got.status != VORN_STATUS_INVALID && got.status != VORN_STATUS_NONE &&
        got.second_distance != UINT32_MAX &&
        (got.second_distance <= got.best_distance ||
         got.second_distance > static_cast<uint32_t>(k)))
        broken = "status-only form: second_distance out of range";
    return broken;
}

}  // namespace model

#endif
