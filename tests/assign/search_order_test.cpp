// The one- and two-edit searches fetch the slots of many keys together and
// read the tables in whatever layout the index has.  None of that may change
// what a caller sees: each search is compared with a model that probes one
// key at a time in the documented order over the plain reference strings (a
// key's references from the highest position down, the longer references in
// deletion-table order, the non-encodable ones ascending), in the full and in
// the status-only form, record and counters alike, on indexes built with
// every table and with the deletion table left out.  Failing any allocation
// declines the query or leaves the record as the model's, and leaks nothing.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "assign/assign_internal.h"
#include "match/match_record.h"
#include "oracle.h"
#include "support/alloc_hooks.h"
#include "test_util.h"

namespace {

using namespace velmora;
using velmora_test::bytes;
using velmora_test::rng;

struct outcome {
    int32_t rc;
    vorn_match record;
    vorn_stats stats;
};

bool operator==(const outcome &a, const outcome &b) {
    return a.rc == b.rc && (a.rc == PATH_DECLINED || (a.record == b.record && a.stats == b.stats));
}
std::ostream &operator<<(std::ostream &os, const outcome &o) {
    return os << "rc " << o.rc << " " << o.record << " " << o.stats;
}

// ---- one key at a time over the strings ----------------------------------------

// (code, length) -> references with that key, highest position first.
using key_map = std::map<std::pair<uint64_t, size_t>, std::vector<size_t>>;

key_map keys_of(const std::vector<std::string> &refs) {
    key_map keys;
    for (size_t r = refs.size(); r-- > 0;) {
        uint64_t c = 0;
        if (oracle::dna2(refs[r], &c)) keys[{c, refs[r].size()}].push_back(r);
    }
    return keys;
}

struct order_model {
    const std::vector<std::string> &refs;
    const key_map &keys;
    const std::string &q;
    uint32_t k;
    uint32_t stop;
    vorn_match record{};
    vorn_stats stats{0, 0};
    int32_t best = 0;
    std::set<uint64_t> seen;

    bool key_of(size_t r, uint64_t *code) const { return oracle::dna2(refs[r], code); }
    // 1 once the status-only search is settled.
    int32_t take(uint64_t r) {
        if (seen.insert(r).second) {
            stats.candidates += 1;
            stats.verifications += 1;
            const uint32_t d = oracle::levenshtein(q, refs[r]);
            if (d <= k) match_apply_hit(&record, uint32_t(r), d, &best);
        }
        return stop != 0 && best >= 2 ? 1 : 0;
    }
    int32_t probe(uint64_t code, uint64_t len) {
        const auto it = keys.find({code, len});
        if (it == keys.end()) return 0;
        for (size_t r : it->second)
            if (take(r)) return 1;
        return 0;
    }
    int32_t longer(uint64_t code, uint64_t len) {
        for (size_t r = refs.size(); r-- > 0;) {
            uint64_t c = 0;
            if (!key_of(r, &c) || refs[r].size() != len + 1) continue;
            for (uint64_t p = len + 1; p-- > 0;)
                if (dna2_delete_base(c, p) == code)
                    if (take(r)) return 1;
        }
        return 0;
    }
    int32_t nonencodable(size_t window) {
        for (size_t r = 0; r < refs.size(); ++r) {
            if (oracle::encodable(refs[r])) continue;
            const size_t a = refs[r].size(), b = q.size();
            if ((a > b ? a - b : b - a) <= window)
                if (take(r)) return 1;
        }
        return 0;
    }
    int32_t one_edit(uint64_t code) {
        const uint64_t len = q.size();
        if (probe(code, len)) return 1;
        if (stop != 0 && record.best_distance == 0) return 1;
        for (uint64_t p = 0; p < len; ++p)
            for (uint64_t b = 0; b < 4; ++b)
                if (b != ((code >> (2 * p)) & 3))
                    if (probe(dna2_with_base(code, p, b), len)) return 1;
        if (longer(code, len)) return 1;
        for (uint64_t p = 0; p < len; ++p)
            if (probe(dna2_delete_base(code, p), len - 1)) return 1;
        return nonencodable(1);
    }
    static int32_t second_level(uint64_t code, uint64_t len, void *ctx) noexcept {
        return static_cast<order_model *>(ctx)->probe(code, len);
    }
    static int32_t first_level(uint64_t code, uint64_t len, void *ctx) noexcept {
        auto *m = static_cast<order_model *>(ctx);
        if (m->probe(code, len)) return 1;
        return index_visit_one_edit_codes(code, len, second_level, ctx);
    }
    int32_t two_edit(uint64_t code) {
        if (probe(code, q.size())) return 1;
        if (index_visit_one_edit_codes(code, q.size(), first_level, this)) return 1;
        return nonencodable(2);
    }
};

outcome model(const std::vector<std::string> &refs, const std::string &q, int32_t k, uint32_t stop) {
    const key_map keys = keys_of(refs);
    order_model m{refs, keys, q, uint32_t(k), stop, {}, {0, 0}, 0, {}};
    match_reset(&m.record, VORN_STATUS_NONE);
    uint64_t code = 0;
    EXPECT_TRUE(dna2_code(bytes(q), q.size(), &code));
    if (!refs.empty()) {
        if (k == 1) m.one_edit(code);
        else m.two_edit(code);
    }
    match_finish(&m.record, m.best);
    return {PATH_DONE, m.record, m.stats};
}

outcome path(const vorn_index *index, const std::string &q, int32_t k, uint32_t stop) {
    outcome o{0, {}, {0, 0}};
    uint64_t code = 0;
    EXPECT_TRUE(dna2_code(bytes(q), q.size(), &code));
    o.rc = k == 1 ? index_assign_neighbor_one_impl(index, bytes(q), q.size(), code, &o.record,
                                                   &o.stats, stop)
                  : index_assign_neighbor_two_impl(index, bytes(q), q.size(), code, &o.record,
                                                   &o.stats, stop);
    return o;
}

struct index_owner {
    vorn_index *index;
    index_owner(const std::vector<std::string> &refs, uint32_t flags) {
        velmora_test::seq_batch b(velmora_test::as_seqs(refs));
        index = vorn_index_build_opts(b.ptrs(), b.lens(), b.size(), flags);
    }
    ~index_owner() { vorn_index_free(index); }
};

// References around a few seeds: mutants at 0 to 3 edits (some with foreign
// bytes), duplicates, and unrelated sequences, lengths around 0..33.
std::vector<std::string> neighborhood(rng &g, const std::vector<std::string> &seeds) {
    std::vector<std::string> refs;
    for (const auto &s : seeds) {
        for (size_t i = g.range(3, 25); i > 0; --i) {
            refs.push_back(g.mutate(s, unsigned(g.range(0, 3)), g.chance(20) ? 15 : 0));
            if (g.chance(15)) refs.push_back(refs.back());
        }
    }
    for (size_t i = g.range(0, 6); i > 0; --i) refs.push_back(g.noisy(g.boundary_len(34), 10));
    return refs;
}

TEST(SearchOrder, SameAsProbingKeyByKey) {
    rng g(velmora_test::test_seed() + 81);
    const size_t lengths[] = {0, 1, 2, 5, 16, 28, 30, 31, 32};
    for (size_t len : lengths) {
        for (int round = 0; round < 6; ++round) {
            std::vector<std::string> seeds = {g.dna(len), g.dna(len)};
            if (g.chance(40)) seeds.push_back(std::string(len, 'A'));  // runs of equal bases
            const std::vector<std::string> refs = neighborhood(g, seeds);
            std::vector<std::string> queries = seeds;
            for (int i = 0; i < 6; ++i) {
                std::string m = g.mutate(seeds[g.range(0, seeds.size() - 1)], unsigned(g.range(0, 2)));
                if (m.size() <= 32) queries.push_back(m);
            }
            for (uint32_t flags : {VORN_INDEX_ALL, VORN_INDEX_NO_DELETION}) {
                const index_owner ix(refs, flags);
                ASSERT_NE(ix.index, nullptr);
                for (const auto &q : queries) {
                    for (int32_t k : {1, 2}) {
                        for (uint32_t stop : {0u, 1u}) {
                            SCOPED_TRACE(::testing::Message() << "query '" << q << "' k " << k
                                                              << " stop " << stop << " flags " << flags);
                            ASSERT_EQ(path(ix.index, q, k, stop), model(refs, q, k, stop));
                        }
                    }
                }
            }
        }
    }
}

// More than 128 distinct candidates make the set allocate (and, without the
// deletion table, the list of longer references); failing each allocation in
// turn declines the query, and every run leaks nothing.
TEST(SearchOrder, AllocationFailuresDecline) {
    rng g(velmora_test::test_seed() + 82);
    const std::string q = g.dna(20);
    std::vector<std::string> refs;
    for (int i = 0; i < 90; ++i) refs.push_back(g.mutate(q, 1));
    for (int i = 0; i < 90; ++i) refs.push_back(g.mutate(q, 2));
    for (int i = 0; i < 40; ++i) refs.push_back(q);
    for (int i = 0; i < 150; ++i) refs.push_back(q + "A");  // 150 longer by one
    for (uint32_t flags : {VORN_INDEX_ALL, VORN_INDEX_NO_DELETION}) {
        const index_owner ix(refs, flags);
        ASSERT_NE(ix.index, nullptr);
        for (int32_t k : {1, 2}) {
            for (uint32_t stop : {0u, 1u}) {
                SCOPED_TRACE(::testing::Message() << "k " << k << " stop " << stop << " flags " << flags);
                const outcome want = model(refs, q, k, stop);
                bool allocated = false;
                for (uint64_t fail_at = 1;; ++fail_at) {
                    velmora_test::alloc_arm(fail_at);
                    const outcome got = path(ix.index, q, k, stop);
                    const velmora_test::alloc_counters run = velmora_test::alloc_disarm();
                    EXPECT_EQ(run.live, 0);
                    EXPECT_EQ(run.injected, got.rc == PATH_DECLINED) << "allocation " << fail_at;
                    if (got.rc == PATH_DONE) {
                        ASSERT_EQ(got, want) << "allocation " << fail_at;
                    }
                    allocated = allocated || run.allocations > 0 || run.injected;
                    if (!run.injected) break;
                }
                EXPECT_TRUE(allocated || stop != 0);
            }
        }
    }
}

}  // namespace
