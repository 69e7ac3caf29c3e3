// The one- and two-edit paths list a query's keys and fetch their buckets
// together before walking the chains.  That must not change anything a
// caller can see: each path is compared with a model that probes one key at
// a time in the documented order (through the single-key probe), in the full
// and in the status-only form, record, counters and return value alike, also
// when the candidate set runs out of memory at any allocation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "assign/assign_internal.h"
#include "distance/distance_internal.h"
#include "match/match_record.h"
#include "support/alloc_hooks.h"
#include "test_util.h"

namespace {

using namespace velmora;
using velmora_test::built_index;
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

// ---- one key at a time -------------------------------------------------------

struct one_model {
    const vorn_index *index;
    const std::string &q;
    vorn_match *result;
    vorn_stats *stats;
    uint32_t stop;
    int32_t best_count = 0;
    candidate_seen_scope seen;

    // Probe of one code-table key; -1 out of memory, 1 settled, 0 go on.
    int32_t probe(uint64_t code, uint64_t len) {
        if (index_visit_exact_seed_candidates(index, code, len, &seen.set, bytes(q), q.size(), 1,
                                              result, &best_count, stats, stop) < 0) {
            return -1;
        }
        return stop != 0 && best_count >= 2 ? 1 : 0;
    }
    int32_t take(uint64_t r) {
        if (index_verify_seed_candidate(index, r, &seen.set, bytes(q), q.size(), 1, result,
                                        &best_count, stats) < 0) {
            return -1;
        }
        return stop != 0 && best_count >= 2 ? 1 : 0;
    }
    int32_t search(uint64_t code) {
        const uint64_t len = q.size();
        if (probe(code, len) < 0) return -1;
        if (stop != 0 && result->best_distance == 0) return 1;
        for (uint64_t p = 0; p < len; ++p)
            for (uint64_t b = 0; b < 4; ++b)
                if (b != ((code >> (2 * p)) & 3))
                    if (int32_t r = probe(dna2_with_base(code, p, b), len)) return r;
        if (index->del_bucket_count != 0) {
            const uint64_t bucket = index_code_bucket(code, len, index->del_bucket_count);
            for (uint64_t e = index->del_heads[bucket]; e != INDEX_NONE; e = index->del_next[e])
                if (index->del_lens[e] == len && index->del_codes[e] == code)
                    if (int32_t r = take(index->del_refs[e])) return r;
        }
        for (uint64_t p = 0; p < len; ++p)
            if (int32_t r = probe(dna2_delete_base(code, p), len - 1)) return r;
        for (uint64_t i = 0; i < index->nonenc_count; ++i) {
            const uint64_t r = index->nonenc_refs[i];
            const size_t rl = index->ref_lens[r];
            if (rl > len + 1 || len > rl + 1) continue;
            if (int32_t s = take(r)) return s;
        }
        return 0;
    }
};

outcome one_edit_key_by_key(const vorn_index *index, const std::string &q, uint32_t stop) {
    outcome o{PATH_DONE, {}, {0, 0}};
    match_reset(&o.record, VORN_STATUS_NONE);
    if (index->n_refs == 0) return o;
    uint64_t code = 0;
    EXPECT_TRUE(dna2_code(bytes(q), q.size(), &code));
    one_model m{index, q, &o.record, &o.stats, stop, 0, {}};
    if (m.search(code) < 0) return {PATH_DECLINED, {}, {}};
    match_finish(&o.record, m.best_count);
    return o;
}

int32_t model_first_edit(uint64_t code, uint64_t len, void *ctx) noexcept {
    const k2_visit_ctx *c = static_cast<const k2_visit_ctx *>(ctx);
    if (index_visit_exact_seed_candidates(c->index, code, len, c->seen, c->query, c->query_len, 2,
                                          c->result, c->best_count, c->stats,
                                          c->stop_when_ambiguous) != VISIT_CONTINUE) {
        return VISIT_OUT_OF_MEMORY;
    }
    if (c->stop_when_ambiguous != 0 && *c->best_count > 1) return VISIT_STOP;
    return index_visit_one_edit_codes(code, len, visit_k2_exact_code, ctx);
}

outcome two_edit_key_by_key(const vorn_index *index, const std::string &q, uint32_t stop) {
    outcome o{PATH_DONE, {}, {0, 0}};
    match_reset(&o.record, VORN_STATUS_NONE);
    if (index->n_refs == 0) return o;
    uint64_t code = 0;
    EXPECT_TRUE(dna2_code(bytes(q), q.size(), &code));
    candidate_seen_scope seen;
    int32_t best = 0;
    k2_visit_ctx ctx{index, &seen.set, bytes(q), q.size(), &o.record, &best, &o.stats, stop};
    if (index_visit_exact_seed_candidates(index, code, q.size(), &seen.set, bytes(q), q.size(), 2,
                                          &o.record, &best, &o.stats, stop) != 0) {
        return {PATH_DECLINED, {}, {}};
    }
    if (stop == 0 || best < 2) {
        const int32_t r = index_visit_one_edit_codes(code, q.size(), model_first_edit, &ctx);
        if (r < 0) return {PATH_DECLINED, {}, {}};
        if (r == 0 && index_scan_nonencodable_seed_candidates(index, &seen.set, bytes(q), q.size(),
                                                              &o.record, &best, &o.stats,
                                                              stop) < 0) {
            return {PATH_DECLINED, {}, {}};
        }
    }
    match_finish(&o.record, best);
    return o;
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

outcome model(const vorn_index *index, const std::string &q, int32_t k, uint32_t stop) {
    return k == 1 ? one_edit_key_by_key(index, q, stop) : two_edit_key_by_key(index, q, stop);
}

// ---- inputs ----------------------------------------------------------------------

// References around a few seeds: mutants at 0 to 3 edits (some with foreign
// bytes), duplicates, and unrelated sequences, lengths around 0..33.
std::vector<std::string> neighbourhood(rng &g, const std::vector<std::string> &seeds) {
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

TEST(BatchedProbes, SameAsProbingKeyByKey) {
    rng g(velmora_test::test_seed() + 81);
    const size_t lengths[] = {0, 1, 2, 5, 16, 28, 30, 31, 32};
    for (size_t len : lengths) {
        for (int round = 0; round < 6; ++round) {
            std::vector<std::string> seeds = {g.dna(len), g.dna(len)};
            if (g.chance(40)) seeds.push_back(std::string(len, 'A'));  // runs of equal bases
            const built_index bi(neighbourhood(g, seeds));
            ASSERT_NE(bi.index, nullptr);
            std::vector<std::string> queries = seeds;
            for (int i = 0; i < 6; ++i) {
                std::string m = g.mutate(seeds[g.range(0, seeds.size() - 1)], unsigned(g.range(0, 2)));
                if (m.size() <= 32) queries.push_back(m);
            }
            for (const auto &q : queries) {
                for (int32_t k : {1, 2}) {
                    for (uint32_t stop : {0u, 1u}) {
                        SCOPED_TRACE(::testing::Message() << "query '" << q << "' k " << k
                                                          << " stop " << stop);
                        ASSERT_EQ(path(bi.index, q, k, stop), model(bi.index, q, k, stop));
                    }
                }
            }
        }
    }
}

// More than 128 distinct candidates make the set allocate; failing each
// allocation in turn must decline at the same point as the model does, and
// leak nothing.
TEST(BatchedProbes, AllocationFailuresDeclineAlike) {
    rng g(velmora_test::test_seed() + 82);
    const std::string q = g.dna(20);
    std::vector<std::string> refs;
    for (int i = 0; i < 90; ++i) refs.push_back(g.mutate(q, 1));
    for (int i = 0; i < 90; ++i) refs.push_back(g.mutate(q, 2));
    for (int i = 0; i < 40; ++i) refs.push_back(q);
    const built_index bi(refs);
    ASSERT_NE(bi.index, nullptr);
    for (int32_t k : {1, 2}) {
        for (uint32_t stop : {0u, 1u}) {
            SCOPED_TRACE(::testing::Message() << "k " << k << " stop " << stop);
            bool allocated = false;
            for (uint64_t fail_at = 1;; ++fail_at) {
                velmora_test::alloc_arm(fail_at);
                const outcome got = path(bi.index, q, k, stop);
                const velmora_test::alloc_counters path_run = velmora_test::alloc_disarm();
                velmora_test::alloc_arm(fail_at);
                const outcome want = model(bi.index, q, k, stop);
                const velmora_test::alloc_counters model_run = velmora_test::alloc_disarm();
                ASSERT_EQ(got, want) << "allocation " << fail_at;
                EXPECT_EQ(path_run.live, 0);
                EXPECT_EQ(model_run.live, 0);
                EXPECT_EQ(path_run.injected, got.rc == PATH_DECLINED);
                allocated = allocated || path_run.allocations > 0 || path_run.injected;
                if (!path_run.injected) break;
            }
            EXPECT_TRUE(allocated || stop != 0);
        }
    }
}

}  // namespace
