// The models the differential tests hold the index to, written from the
// documented behaviour over plain strings: what each work counter gains per
// query (or the bounds on it), and what the status-only form may report once
// it stops early.
// Shared by the fuzz harness and the unit tests (no gtest here).
#ifndef VELMORA_TESTS_MODEL_H
#define VELMORA_TESTS_MODEL_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "gen.h"

namespace model {

using refs_t = std::vector<oracle::seq>;

// The oracle's edit distance, remembered per pair of contents: a list may
// hold hundreds of copies of one reference, and every record needs every
// distance.
struct distance_cache {
    std::map<std::pair<std::string, std::string>, uint32_t> memo;
    uint32_t operator()(const std::string &a, const std::string &b) {
        auto [it, fresh] = memo.try_emplace({a, b}, 0);
        if (fresh) it->second = oracle::levenshtein(a, b);
        return it->second;
    }
};

using oracle::encodable;

inline bool is_acgt(char c) { return c == 'A' || c == 'C' || c == 'G' || c == 'T'; }

inline std::string folded(std::string s) {
    for (auto &c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
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
    uint64_t table = 0, listed = 0;
    const std::string key = fold_case ? folded(q) : q;
    const auto equal = [&](const std::string &, const std::string &s) {
        return s.size() == q.size() && (fold_case ? folded(s) : s) == key ? 0u : UINT32_MAX;
    };
    for (const auto &r : refs) {
        if (r.bytes.size() != q.size()) continue;
        if (!encodable(r.bytes)) ++listed;
        else table += equal(q, r.bytes) == 0;
    }
    *counted = !encodable(key) ? listed : table + (fold_case ? listed : 0);
    return oracle::match_record(oracle::seq{q}, refs, 0, equal);
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

// What the full edit assignment measures at k = 1 or 2 for a query of at most
// 32 bytes that has a code or one foreign byte (false for any other query):
// a reference with a code reaches the search only through codes within k
// edits of the query's (with a foreign byte: within k - 1 edits of one of its
// five repairs, the byte made A, C, G or T, or removed), so exactly those
// are measured; the references without a code are scanned by length, k bytes
// either way.
template <class Dist>
bool coded_query_counted(const std::string &q, const refs_t &refs, int32_t k, Dist distance,
                         uint64_t *counted) {
    std::vector<std::string> repairs;
    size_t foreign = 0, at = 0;
    for (size_t i = 0; i < q.size(); ++i)
        if (!is_acgt(q[i])) ++foreign, at = i;
    if (q.size() > 32 || foreign > 1) return false;
    uint32_t within = static_cast<uint32_t>(k);
    if (foreign == 0) {
        repairs.push_back(q);
    } else {
        for (const char b : std::string("ACGT")) repairs.push_back(q.substr(0, at) + b + q.substr(at + 1));
        repairs.push_back(q.substr(0, at) + q.substr(at + 1));
        --within;
    }
    const size_t window = static_cast<size_t>(k);
    *counted = 0;
    for (const auto &r : refs) {
        if (!encodable(r.bytes)) {
            *counted += r.bytes.size() <= q.size() + window && q.size() <= r.bytes.size() + window;
            continue;
        }
        bool reached = false;
        for (const std::string &f : repairs) reached |= distance(f, r.bytes) <= within;
        *counted += reached;
    }
    return true;
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

// The one-edit variants of an A/C/G/T sequence in the enumeration order that
// the status-only two-edit search follows: substitutions (position by
// position, bases A, C, G, T less the one there), then deletions, then
// insertions (position 0 to the end, A to T; none past 32 bases).  Repeats
// are kept.
inline std::vector<std::string> one_edit_variants(const std::string &s) {
    std::vector<std::string> out;
    static const char bases[] = "ACGT";
    for (size_t p = 0; p < s.size(); ++p)
        for (const char b : std::string(bases))
            if (b != s[p]) out.push_back(s.substr(0, p) + b + s.substr(p + 1));
    for (size_t p = 0; p < s.size(); ++p) out.push_back(s.substr(0, p) + s.substr(p + 1));
    if (s.size() < 32)
        for (size_t p = 0; p <= s.size(); ++p)
            for (const char b : std::string(bases)) out.push_back(s.substr(0, p) + b + s.substr(p));
    return out;
}

// The status-only two-edit search of an A/C/G/T query of at most 32 bases,
// as its documentation orders it: the query's own code, then each one-edit
// variant followed at once by all of its own one-edit variants, each code
// naming its references from the highest position down, then the
// references that have no code within two bases of the query's length; every
// reference measured once, the search stopping when two references share
// the best distance.  *examined gets the number of references measured.
template <class Dist>
vorn_match status_only_two_edits(const std::string &q, const refs_t &refs, Dist distance,
                                 uint64_t *examined) {
    vorn_match m = oracle::match_none();
    std::vector<bool> seen(refs.size());
    uint32_t best_count = 0;
    *examined = 0;
    auto measure = [&](size_t r) {
        if (seen[r]) return;
        seen[r] = true;
        ++*examined;
        const uint32_t d = distance(q, refs[r].bytes);
        if (d > 2) return;
        ++m.hit_count;
        if (d < m.best_distance) {
            m.second_distance = m.best_distance;
            m.best_distance = d;
            m.best_index = static_cast<uint32_t>(r);
            best_count = 1;
        } else if (d == m.best_distance) {
            if (r < m.best_index) m.best_index = static_cast<uint32_t>(r);
            ++best_count;
        } else if (d < m.second_distance) {
            m.second_distance = d;
        }
    };
    std::map<std::string, std::vector<size_t>> holding;  // highest position first
    for (size_t r = refs.size(); r-- > 0;)
        if (encodable(refs[r].bytes)) holding[refs[r].bytes].push_back(r);
    // True once the search stops.
    auto look_up = [&](const std::string &code) {
        auto it = holding.find(code);
        if (it == holding.end()) return false;
        for (const size_t r : it->second) {
            measure(r);
            if (best_count >= 2) return true;
        }
        return false;
    };
    bool stopped = look_up(q);
    for (const std::string &v : one_edit_variants(q)) {
        if (stopped) break;
        stopped = look_up(v);
        for (const std::string &w : one_edit_variants(v)) {
            if (stopped) break;
            stopped = look_up(w);
        }
    }
    for (size_t r = 0; r < refs.size() && !stopped; ++r) {
        const std::string &s = refs[r].bytes;
        if (encodable(s) || s.size() + 2 < q.size() || q.size() + 2 < s.size()) continue;
        measure(r);
        stopped = best_count >= 2;
    }
    if (m.hit_count > 0) m.status = best_count >= 2 ? VORN_STATUS_AMBIGUOUS : VORN_STATUS_UNIQUE;
    return m;
}

}  // namespace model

#endif
