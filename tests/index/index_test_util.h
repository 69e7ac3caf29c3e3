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
#include "oracle.h"
#include "test_util.h"

namespace index_test {

constexpr uint64_t NONE = UINT64_MAX;

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

// Walks every chain of a table: each entry in the bucket its key hashes to,
// chains strictly descending, every entry below total met exactly once.
template <class Bucket>
void expect_chains(const uint64_t *heads, const uint64_t *next, uint64_t buckets, uint64_t total,
                   const std::vector<bool> &member, Bucket bucket_of) {
    std::vector<int> seen(total, 0);
    for (uint64_t b = 0; b < buckets; ++b) {
        uint64_t prev = NONE;
        for (uint64_t x = heads[b]; x != NONE; prev = x, x = next[x]) {
            ASSERT_LT(x, total);
            ASSERT_TRUE(member[x]) << x;
            EXPECT_EQ(bucket_of(x), b);
            EXPECT_TRUE(prev == NONE || x < prev) << "chain of bucket " << b;
            ASSERT_LE(++seen[x], 1) << "entry " << x << " chained twice";
        }
    }
    for (uint64_t x = 0; x < total; ++x) EXPECT_EQ(seen[x], member[x] ? 1 : 0) << "entry " << x;
}

// Every structural property a built index must have for these references.
inline void expect_index_matches(const vorn_index *idx, const std::vector<std::string> &refs) {
    using namespace velmora;
    const size_t n = refs.size();
    ASSERT_NE(idx, nullptr);
    ASSERT_EQ(idx->n_refs, n);
    if (n == 0) {
        EXPECT_EQ(idx->ref_seqs, nullptr);
        EXPECT_EQ(idx->code_heads, nullptr);
        EXPECT_EQ(idx->exact_slot_count, 0u);
        EXPECT_EQ(idx->code_bucket_count, 0u);
        EXPECT_EQ(idx->piece_ready, 0u);
        return;
    }
    // Tables are the smallest power of two above twice their entries.
    auto table_size = [](uint64_t entries) {
        uint64_t size = 1;
        while (size <= 2 * entries) size *= 2;
        return size;
    };
    EXPECT_EQ(idx->code_bucket_count, table_size(n));
    EXPECT_EQ(idx->exact_slot_count, table_size(n));

    // Copies, codes, the non-encodable list.
    std::vector<uint64_t> nonenc;
    std::map<std::pair<uint64_t, uint64_t>, std::pair<uint64_t, uint64_t>> keys;  // -> first, count
    uint64_t encodable = 0, del_total = 0;
    for (size_t i = 0; i < n; ++i) {
        ASSERT_NE(idx->ref_seqs[i], nullptr);
        ASSERT_EQ(idx->ref_lens[i], refs[i].size());
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(idx->ref_seqs[i]), refs[i].size()),
                  refs[i]);
        EXPECT_EQ(idx->ref_seqs[i][refs[i].size()], 0) << "terminator of " << i;
        uint64_t code = 0;
        const bool enc = naive_encode(refs[i], &code);
        EXPECT_EQ(idx->ref_encodable[i], enc ? 1 : 0) << i;
        EXPECT_EQ(idx->ref_codes[i], enc ? code : 0) << i;
        if (enc) {
            ++encodable;
            del_total += refs[i].size();
            auto it = keys.find({code, refs[i].size()});
            if (it == keys.end()) keys[{code, refs[i].size()}] = {i, 1};
            else it->second.second += 1;
        } else {
            nonenc.push_back(i);
            EXPECT_EQ(idx->code_next[i], NONE) << i;
        }
    }
    ASSERT_EQ(idx->nonenc_count, nonenc.size());
    EXPECT_EQ(idx->nonenc_count + encodable, n);
    for (size_t k = 0; k < nonenc.size(); ++k) EXPECT_EQ(idx->nonenc_refs[k], nonenc[k]);

    // Code table: each encodable reference once, in its own bucket.
    std::vector<bool> enc_member(n);
    for (size_t i = 0; i < n; ++i) enc_member[i] = idx->ref_encodable[i] != 0;
    expect_chains(idx->code_heads, idx->code_next, idx->code_bucket_count, n, enc_member,
                  [&](uint64_t r) {
                      return index_code_bucket(idx->ref_codes[r], idx->ref_lens[r], idx->code_bucket_count);
                  });

    // Exact table: one slot per distinct key, first index and count right,
    // every key reachable from its home slot.
    uint64_t occupied = 0, count_sum = 0;
    for (uint64_t s = 0; s < idx->exact_slot_count; ++s) {
        if (idx->exact_first[s] == NONE) {
            EXPECT_EQ(idx->exact_counts[s], 0u);
            continue;
        }
        ++occupied;
        count_sum += idx->exact_counts[s];
        auto it = keys.find({idx->exact_codes[s], idx->exact_lens[s]});
        ASSERT_NE(it, keys.end()) << "slot " << s;
        EXPECT_EQ(idx->exact_first[s], it->second.first);
        EXPECT_EQ(idx->exact_counts[s], it->second.second);
        for (uint64_t p = index_exact_home_slot(idx->exact_codes[s], idx->exact_lens[s],
                                                idx->exact_slot_count);
             p != s; p = (p + 1) & (idx->exact_slot_count - 1)) {
            ASSERT_NE(idx->exact_first[p], NONE) << "probe run broken before slot " << s;
        }
    }
    EXPECT_EQ(occupied, keys.size());
    EXPECT_EQ(count_sum, encodable);

    // Deletion table: entries in (reference, position) order, each variant
    // equal to the encoded string with one byte erased; chains cover every
    // entry once, newest first.
    EXPECT_EQ(idx->del_count, del_total);
    if (del_total == 0) {
        EXPECT_EQ(idx->del_bucket_count, 0u);
        EXPECT_EQ(idx->del_heads, nullptr);
    } else {
        ASSERT_EQ(idx->del_bucket_count, table_size(del_total));
        uint64_t e = 0;
        for (size_t i = 0; i < n; ++i) {
            if (!naive_encodable(refs[i])) continue;
            for (size_t p = 0; p < refs[i].size(); ++p, ++e) {
                std::string v = refs[i];
                v.erase(p, 1);
                uint64_t vc = 0;
                ASSERT_TRUE(naive_encode(v, &vc));
                EXPECT_EQ(idx->del_codes[e], vc) << refs[i] << " without base " << p;
                EXPECT_EQ(idx->del_lens[e], v.size());
                EXPECT_EQ(idx->del_refs[e], i);
            }
        }
        expect_chains(idx->del_heads, idx->del_next, idx->del_bucket_count, del_total,
                      std::vector<bool>(del_total, true), [&](uint64_t x) {
                          return index_code_bucket(idx->del_codes[x], idx->del_lens[x], idx->del_bucket_count);
                      });
    }

    // Piece table: 9 entries per encodable reference, each bucket's run
    // holding exactly its own keys, stably sorted.
    const uint64_t piece_total = 9 * encodable;
    EXPECT_EQ(idx->piece_count, piece_total);
    if (piece_total == 0) {
        EXPECT_EQ(idx->piece_ready, 0u);
        EXPECT_EQ(idx->piece_bucket_count, 0u);
        EXPECT_EQ(idx->piece_entries, nullptr);
        return;
    }
    EXPECT_EQ(idx->piece_ready, 1u);
    const uint64_t psize = table_size(piece_total);
    ASSERT_EQ(idx->piece_bucket_count, psize);
    ASSERT_EQ(idx->piece_offsets[0], 0u);
    ASSERT_EQ(idx->piece_offsets[psize], piece_total);
    using piece_tuple = std::tuple<uint64_t, int, uint64_t, uint64_t, uint64_t, uint64_t>;
    std::vector<piece_tuple> expected, actual;  // (ref, kind order, kind, len, code, ref code)
    static const int order_of_kind[12] = {0, 1, -1, -1, 2, 3, 4, -1, 5, 6, 7, 8};
    for (size_t i = 0; i < n; ++i) {
        uint64_t rc = 0;
        if (!naive_encode(refs[i], &rc)) continue;
        int pos = 0;
        for (size_t m = 2; m <= 4; ++m) {
            const auto parts = naive_split(refs[i], m);
            for (size_t j = 0; j < m; ++j, ++pos) {
                uint64_t pc = 0;
                naive_encode(parts[j], &pc);
                expected.emplace_back(i, pos, 4 * (m - 2) + j, parts[j].size(), pc, rc);
            }
        }
    }
    for (uint64_t b = 0; b < psize; ++b) {
        ASSERT_LE(idx->piece_offsets[b], idx->piece_offsets[b + 1]);
        piece_tuple prev{};
        for (uint64_t x = idx->piece_offsets[b]; x < idx->piece_offsets[b + 1]; ++x) {
            const piece_entry &pe = idx->piece_entries[x];
            ASSERT_LT(pe.piece_kind, 12);
            ASSERT_GE(order_of_kind[pe.piece_kind], 0);
            EXPECT_EQ(index_piece_bucket(pe.piece_code, pe.piece_len, pe.piece_kind, psize), b);
            EXPECT_EQ(pe.ref_len, refs[pe.ref_index].size());
            const piece_tuple t{pe.ref_index, order_of_kind[pe.piece_kind], pe.piece_kind,
                                pe.piece_len, pe.piece_code, pe.ref_code};
            if (x > idx->piece_offsets[b]) {
                EXPECT_LT(prev, t) << "bucket " << b << " not stable";
            }
            prev = t;
            actual.push_back(t);
        }
    }
    std::sort(actual.begin(), actual.end());
    EXPECT_EQ(actual, expected);
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
