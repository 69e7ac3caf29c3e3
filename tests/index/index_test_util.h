// Shared by the index tests: a naive model of what the index must hold,
// computed from the reference strings alone, and the white-box invariant
// check of a built index against it.
#ifndef VELMORA_TESTS_INDEX_TEST_UTIL_H
#define VELMORA_TESTS_INDEX_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "index/index_internal.h"
#include "index/probe.h"
#include "oracle.h"
#include "test_util.h"

namespace index_test {


inline bool naive_encode(const std::string &s, uint64_t *code) { return oracle::dna2(s, code); }
inline bool naive_encodable(const std::string &s) { return oracle::encodable(s); }

inline std::string fold_upper(std::string s) {
    for (auto &c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The m pieces of s: lengths floor(L/m) or one more, longer pieces first.
inline std::vector<std::string> naive_split(const std::string &s, size_t m) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < m; ++i) {
        const size_t len = s.size() / m + (i < s.size() % m ? 1 : 0);
        out.push_back(s.substr(start, len));
        start += len;
    }
    return out;
}

inline std::vector<std::string> ref_strings(const std::vector<oracle::seq> &refs) {
    std::vector<std::string> out;
    for (const auto &r : refs) out.push_back(r.bytes);
    return out;
}

// Every property a reader relies on, checked through the index's own
// accessors against a model computed from the strings: the copies, the
// non-encodable list, the references of every key in reader order (highest
// position first), the references one base longer than every deletion
// variant in deletion-table order, and one piece entry per (reference,
// split, piece) in the bucket a reader looks in.  Tables the flags left out
// must be absent.
inline void expect_index_matches(const vorn_index *idx, const std::vector<std::string> &refs,
                                 uint32_t flags = VORN_INDEX_ALL) {
    using namespace velmora;
    const size_t n = refs.size();
    ASSERT_NE(idx, nullptr);
    ASSERT_EQ(idx->n_refs, n);
    if (n == 0) {
        EXPECT_EQ(idx->arena, nullptr);
        EXPECT_EQ(idx->key_slot_count, 0u);
        return;
    }
    std::vector<uint64_t> nonenc;
    std::map<std::pair<uint64_t, uint64_t>, std::vector<uint32_t>> keys;  // highest first
    uint64_t encodable = 0;
    for (size_t i = n; i-- > 0;) {
        ASSERT_EQ(index_ref_len(idx, i), refs[i].size());
        const uint8_t *b = index_ref_bytes(idx, i);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(b), refs[i].size()), refs[i]);
        EXPECT_EQ(b[refs[i].size()], 0) << "terminator of " << i;
        uint64_t code = 0;
        if (naive_encode(refs[i], &code)) {
            ++encodable;
            keys[{code, refs[i].size()}].push_back(uint32_t(i));
        } else {
            nonenc.insert(nonenc.begin(), i);
        }
    }
    ASSERT_EQ(idx->nonenc_count, nonenc.size());
    for (size_t k = 0; k < nonenc.size(); ++k) EXPECT_EQ(idx->nonenc_refs[k], nonenc[k]);

    // Key table: every key with its references; a key one base longer than
    // an existing one, with no reference, is absent.
    for (const auto &[key, list] : keys) {
        const key_slot *slot = index_key_find(idx, key.first, key.second);
        ASSERT_NE(slot, nullptr);
        // The presence filter (a block or two here: all collisions) never
        // rules out a key the table holds.
        EXPECT_TRUE(index_filter_may_hold(idx, index_key_hash(key.first, key.second), key.second));
        uint32_t count = 0;
        const uint32_t *r = index_key_refs(idx, slot, &count);
        EXPECT_EQ(std::vector<uint32_t>(r, r + count), list);
        if (key.second < 32 && !keys.count({key.first, key.second + 1})) {
            EXPECT_EQ(index_key_find(idx, key.first, key.second + 1), nullptr);
        }
    }

    // Deletion table (or its replacement route): the references that lose one
    // base to become each deletion variant, in the order a reader meets them.
    EXPECT_EQ(idx->del_bucket_count == 0,
              (flags & VORN_INDEX_NO_DELETION) != 0 || encodable == 0 ||
                  std::all_of(refs.begin(), refs.end(), [](const std::string &r) {
                      return r.empty() || !naive_encodable(r);
                  }));
    for (size_t i = 0; i < n; ++i) {
        if (!naive_encodable(refs[i])) continue;
        for (size_t p = 0; p < refs[i].size(); ++p) {
            std::string v = refs[i];
            v.erase(p, 1);
            uint64_t vc = 0;
            naive_encode(v, &vc);
            std::vector<uint32_t> want;
            for (size_t r = n; r-- > 0;) {
                if (!naive_encodable(refs[r]) || refs[r].size() != v.size() + 1) continue;
                for (size_t q = 0; q < refs[r].size(); ++q)
                    if (refs[r].substr(0, q) + refs[r].substr(q + 1) == v) {
                        want.push_back(uint32_t(r));
                        break;
                    }
            }
            hit_list hits;
            hit_list_init(&hits);
            vorn_match record;
            probe_sink_scope scope;
            probe_sink_start(&scope.sink, idx, reinterpret_cast<const uint8_t *>(v.data()),
                             v.size(), 1, PROBE_EDIT, &record, nullptr, 0, &hits);
            EXPECT_EQ(probe_longer_references(&scope.sink, vc, v.size()), VISIT_CONTINUE);
            std::vector<uint32_t> got;
            for (size_t h = 0; h < hits.count; ++h) got.push_back(hits.items[h].ref_index);
            hit_list_free(&hits);
            EXPECT_EQ(got, want) << refs[i] << " without base " << p;
        }
    }

    // Piece tables: m entries per encodable reference, each in its bucket.
    for (uint64_t m = 2; m <= 4; ++m) {
        const piece_table &t = idx->pieces[m - 2];
        if ((flags & VORN_INDEX_NO_PIECES) != 0 || encodable == 0) {
            EXPECT_EQ(t.count, 0u);
            EXPECT_EQ(t.offsets, nullptr);
            continue;
        }
        ASSERT_EQ(t.count, m * encodable);
        ASSERT_EQ(t.offsets[t.bucket_count], t.count);
        for (size_t i = 0; i < n; ++i) {
            uint64_t rc = 0;
            if (!naive_encode(refs[i], &rc)) continue;
            const auto parts = naive_split(refs[i], m);
            for (uint64_t j = 0; j < m; ++j) {
                uint64_t pc = 0;
                naive_encode(parts[j], &pc);
                const uint64_t b = index_piece_bucket(pc, parts[j].size(), 4 * (m - 2) + j, t.bucket_count);
                int found = 0;
                for (uint64_t e = t.offsets[b]; e < t.offsets[b + 1]; ++e)
                    found += t.refs[e] == i && t.codes[e] == rc && t.meta[e] == (refs[i].size() | (j << 6));
                EXPECT_EQ(found, 1) << refs[i] << " split " << m << " piece " << j;
            }
        }
    }
}

// A reference list aimed at the index's edges: boundary lengths, duplicates,
// near neighbours, lower case, N, bytes 0 and 255, empty and null-pointer
// empty references.
inline std::vector<oracle::seq> random_refs(velmora_test::rng &g, size_t n) {
    std::vector<oracle::seq> refs;
    std::vector<std::string> pool;
    for (size_t i = 0; i < n; ++i) {
        oracle::seq s;
        const unsigned pick = static_cast<unsigned>(g.range(0, 99));
        if (pick < 4) {
            s.null_ptr = true;  // empty reference given as a null pointer
        } else if (pick < 20 && !pool.empty()) {
            s.bytes = pool[g.range(0, pool.size() - 1)];  // duplicate
        } else if (pick < 40 && !pool.empty()) {
            s.bytes = g.mutate(pool[g.range(0, pool.size() - 1)], 1, 10);
        } else if (pick < 50 && !pool.empty()) {
            s.bytes = pool[g.range(0, pool.size() - 1)];  // the same in partly lower case
            for (auto &c : s.bytes)
                if (g.chance(30) && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        } else {
            s.bytes = g.noisy(g.boundary_len(40), g.chance(50) ? 0 : 8);
        }
        if (!s.null_ptr) pool.push_back(s.bytes);
        refs.push_back(s);
    }
    return refs;
}

}  // namespace index_test

#endif
