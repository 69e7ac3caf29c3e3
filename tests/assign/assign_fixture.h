// Shared by the assignment tests: the three public forms behind one call,
// code/string conversion written out independently of the library, the
// generators of reference sets full of near neighbors, and the model of what
// the counters must show for one query.
#ifndef VELMORA_TESTS_ASSIGN_FIXTURE_H
#define VELMORA_TESTS_ASSIGN_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "test_util.h"
#include "velmora.h"

namespace assign_test {

using velmora_test::built_index;

inline std::string decode(uint64_t code, uint64_t len) {
    std::string s;
    for (uint64_t i = 0; i < len; ++i) s += "ACGT"[(code >> (2 * i)) & 3];
    return s;
}
inline uint64_t encode(const std::string &s) {
    uint64_t code = 0;
    oracle::dna2(s, &code);
    return code;
}
inline bool is_encodable(const std::string &s) { return oracle::encodable(s); }
inline size_t foreign_count(const std::string &s) {
    size_t n = 0;
    for (char c : s) n += c != 'A' && c != 'C' && c != 'G' && c != 'T';
    return n;
}

enum class form { plain, stats, status };

inline int32_t call(form f, const vorn_index *index, const uint8_t *const *q, const size_t *lens,
                    size_t n, int32_t k, vorn_match *out, vorn_stats *stats) {
    switch (f) {
        case form::plain: return vorn_index_assign(index, q, lens, n, k, out);
        case form::stats: return vorn_index_assign_stats(index, q, lens, n, k, out, stats);
        case form::status: return vorn_index_assign_status_stats(index, q, lens, n, k, out, stats);
    }
    return -2;
}

struct run_result {
    int32_t rc;
    std::vector<vorn_match> records;
    vorn_stats stats;
};

inline run_result run(form f, const vorn_index *index, const std::vector<oracle::seq> &queries,
                      int32_t k) {
    velmora_test::seq_batch qb(queries);
    run_result r{0, std::vector<vorn_match>(queries.size()), {0xA5A5, 0xA5A5}};
    r.rc = call(f, index, qb.ptrs(), qb.lens(), qb.size(), k, r.records.data(), &r.stats);
    return r;
}

// What one query adds to both counters.  A path charges the encodable
// references within k edits and the non-encodable ones whose length is within
// k of the query's; the exact lookup (k = 0) charges the references holding
// the query's key, or the non-encodable ones of its length for a
// non-encodable query; a query no path serves costs every reference.
template <class Dist>
uint64_t expected_work(const oracle::seq &q, const std::vector<oracle::seq> &refs, int32_t k,
                       Dist dist) {
    if (q.invalid() || refs.empty()) return 0;
    const std::string &s = q.bytes;
    const size_t len = s.size(), foreign = foreign_count(s);
    uint64_t n = 0;
    if (k == 0) {
        for (const auto &r : refs)
            if (r.bytes.size() == len)
                n += oracle::encodable(r.bytes) ? r.bytes == s : !oracle::encodable(s);
        return n;
    }
    const bool served = (k == 1 && len <= 32) ||
                        (k == 2 && ((len <= 32 && foreign <= 1) ||
                                    ((len == 33 || len == 34) && foreign == 0)));
    if (!served) return refs.size();
    for (const auto &r : refs) {
        const size_t gap = r.bytes.size() > len ? r.bytes.size() - len : len - r.bytes.size();
        n += oracle::encodable(r.bytes) ? dist(s, r.bytes) <= static_cast<uint32_t>(k)
                                        : gap <= static_cast<size_t>(k);
    }
    return n;
}
inline uint64_t expected_work(const oracle::seq &q, const std::vector<oracle::seq> &refs,
                              int32_t k) {
    return expected_work(q, refs, k, oracle::levenshtein);
}

// The status-only form may stop a query's search once its status is
// settled.  Where it cannot stop (k outside 1..2, the long-read path, the
// fallback) the record is the full one; a k = 1 encodable query keeps the
// full status and best distance; elsewhere a search that stopped is AMBIGUOUS
// at a distance where two references really lie.
template <class Dist>
void expect_status_only_promise(const vorn_match &got, const vorn_match &full,
                                const oracle::seq &q, const std::vector<oracle::seq> &refs,
                                int32_t k, Dist dist) {
    const std::string &s = q.bytes;
    const bool can_stop = !q.invalid() && s.size() <= 32 &&
                          (k == 1 || (k == 2 && foreign_count(s) <= 1));
    if (!can_stop) {
        EXPECT_EQ(got, full);
        return;
    }
    EXPECT_LE(got.hit_count, full.hit_count);
    if (k == 1 && foreign_count(s) == 0) {
        EXPECT_EQ(got.status, full.status);
        EXPECT_EQ(got.best_distance, full.best_distance);
        if (got.status != VORN_STATUS_AMBIGUOUS) {
            EXPECT_EQ(got.best_index, full.best_index);
            return;
        }
    } else if (got.status != VORN_STATUS_AMBIGUOUS) {
        EXPECT_EQ(got, full);
        return;
    }
    ASSERT_LE(got.best_distance, static_cast<uint32_t>(k));
    ASSERT_LT(got.best_index, refs.size());
    EXPECT_EQ(dist(s, refs[got.best_index].bytes), got.best_distance);
    size_t at_distance = 0;
    for (const auto &r : refs) at_distance += dist(s, r.bytes) == got.best_distance;
    EXPECT_GE(at_distance, 2u);
    EXPECT_GE(got.best_distance, full.best_distance);
    EXPECT_GE(got.hit_count, 2u);
    if (got.second_distance != UINT32_MAX) {
        EXPECT_GT(got.second_distance, got.best_distance);
        EXPECT_LE(got.second_distance, static_cast<uint32_t>(k));
    }
}

using velmora_test::near_neighbor_queries;
using velmora_test::near_neighbor_refs;

}  // namespace assign_test

#endif
