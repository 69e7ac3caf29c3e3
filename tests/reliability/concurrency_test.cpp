// Several threads assigning different batches against one shared index, each
// through every entry point with its own outputs and counters, must get what
// the same calls give on one thread.  Built with ThreadSanitizer this also
// shows any write to the shared index or other shared state.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include "oracle.h"
#include "test_util.h"
#include "velmora.h"

namespace {

using velmora_test::seq_batch;

// Everything one batch produces, entry point by entry point.
struct batch_results {
    std::vector<vorn_match> records;
    std::vector<vorn_assignment> assignments;
    std::vector<vorn_stats> stats;
    std::vector<int64_t> scalars;

    bool operator==(const batch_results &o) const {
        return records.size() == o.records.size() && assignments.size() == o.assignments.size() &&
               stats.size() == o.stats.size() && scalars == o.scalars &&
               std::memcmp(records.data(), o.records.data(), records.size() * sizeof(vorn_match)) == 0 &&
               std::memcmp(assignments.data(), o.assignments.data(),
                           assignments.size() * sizeof(vorn_assignment)) == 0 &&
               std::memcmp(stats.data(), o.stats.data(), stats.size() * sizeof(vorn_stats)) == 0;
    }
};

batch_results run_batch(const vorn_index *index, const seq_batch &refs, const seq_batch &q) {
    batch_results out;
    const size_t n = q.size();
    std::vector<vorn_match> m(n);
    std::vector<vorn_assignment> a(n);
    vorn_stats st{};
    const auto keep = [&](int32_t rc, bool with_stats) {
        out.scalars.push_back(rc);
        out.records.insert(out.records.end(), m.begin(), m.end());
        if (with_stats) out.stats.push_back(st);
    };

    keep(vorn_index_lookup_exact_many_stats(index, q.ptrs(), q.lens(), n, m.data(), &st), true);
    keep(vorn_index_lookup_exact_ascii_many_stats(index, q.ptrs(), q.lens(), n, m.data(), &st), true);
    for (size_t i = 0; i < n; ++i) {
        vorn_match one;
        out.scalars.push_back(vorn_index_lookup_exact_stats(index, q.ptrs()[i], q.lens()[i], &one, &st));
        out.records.push_back(one);
        out.scalars.push_back(
            vorn_index_lookup_exact_ascii_stats(index, q.ptrs()[i], q.lens()[i], &one, nullptr));
        out.records.push_back(one);
    }
    for (int32_t k = 0; k <= 3; ++k) {
        keep(vorn_index_assign(index, q.ptrs(), q.lens(), n, k, m.data()), false);
        keep(vorn_index_assign_stats(index, q.ptrs(), q.lens(), n, k, m.data(), &st), true);
        keep(vorn_index_assign_status_stats(index, q.ptrs(), q.lens(), n, k, m.data(), &st), true);
        keep(vorn_index_assign_hamming_stats(index, q.ptrs(), q.lens(), n, k, m.data(), &st), true);
    }
    keep(vorn_match_many(q.ptrs(), q.lens(), n, refs.ptrs(), refs.lens(), refs.size(), 2, m.data()),
         false);
    out.scalars.push_back(vorn_assign_many(q.ptrs(), q.lens(), n, refs.ptrs(), refs.lens(),
                                           refs.size(), 2, 1, a.data()));
    out.assignments = a;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t *r = refs.ptrs()[i % refs.size()];
        const size_t rl = refs.lens()[i % refs.size()];
        out.scalars.push_back(vorn_edit_distance(q.ptrs()[i], q.lens()[i], r, rl));
        out.scalars.push_back(vorn_edit_distance_dp(q.ptrs()[i], q.lens()[i], r, rl));
        out.scalars.push_back(vorn_edit_distance_leq(q.ptrs()[i], q.lens()[i], r, rl, 2));
    }
    return out;
}

TEST(Concurrency, ThreadsSharingOneIndexGetTheSingleThreadedResults) {
    const uint64_t seed = velmora_test::test_seed();
    SCOPED_TRACE(seed);
    velmora_test::rng g(seed);

    // Families of near neighbors around a few barcodes, with N, lower case
    // and the odd byte, plus a run of duplicates big enough to push a query's
    // candidate set onto the heap in every thread at once.
    std::vector<oracle::seq> refs;
    for (int family = 0; family < 12; ++family) {
        const std::string base = g.noisy(g.range(8, 34), 3);
        refs.push_back(oracle::seq{base});
        for (int v = 0; v < 10; ++v) refs.push_back(oracle::seq{g.mutate(base, g.range(1, 2), 10)});
    }
    const std::string crowded = "ACGTTGCAAC";
    for (int i = 0; i < 140; ++i) refs.push_back(oracle::seq{crowded});
    refs.push_back(oracle::seq{std::string(600, 'A')});
    seq_batch ref_batch(refs);
    vorn_index *index = vorn_index_build(ref_batch.ptrs(), ref_batch.lens(), ref_batch.size());
    ASSERT_NE(index, nullptr);

    constexpr size_t threads = 4;
    std::vector<std::vector<oracle::seq>> query_sets(threads);
    for (size_t t = 0; t < threads; ++t) {
        for (int i = 0; i < 16; ++i) {
            const auto &r = refs[g.range(0, refs.size() - 1)];
            query_sets[t].push_back(oracle::seq{g.mutate(r.bytes, g.range(0, 3), 10)});
        }
        query_sets[t].push_back(oracle::seq{crowded});
        query_sets[t].push_back(oracle::seq{"", true, 4});  // an invalid query
        query_sets[t].push_back(oracle::seq{g.noisy(g.range(33, 35), 0)});
        query_sets[t].push_back(oracle::seq{std::string(590, 'A')});
    }
    std::vector<std::unique_ptr<seq_batch>> batches;
    for (const auto &s : query_sets) batches.push_back(std::make_unique<seq_batch>(s));

    std::vector<batch_results> single;
    for (size_t t = 0; t < threads; ++t) single.push_back(run_batch(index, ref_batch, *batches[t]));
    // The single-threaded run itself is brute force where that is defined.
    for (size_t t = 0; t < threads; ++t) {
        std::vector<vorn_match> m(batches[t]->size());
        ASSERT_EQ(vorn_index_assign(index, batches[t]->ptrs(), batches[t]->lens(), m.size(), 2, m.data()), 0);
        for (size_t i = 0; i < m.size(); ++i) EXPECT_EQ(m[i], oracle::edit_record(query_sets[t][i], refs, 2));
    }

    // Each thread runs its own batch and then its neighbor's, twice, so the
    // same batches also run on different threads at the same time.
    std::atomic<int> mismatches{0};
    std::atomic<size_t> ready{0};
    std::vector<std::thread> pool;
    for (size_t t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < threads) std::this_thread::yield();
            for (int round = 0; round < 2; ++round) {
                for (size_t b : {t, (t + 1) % threads}) {
                    if (!(run_batch(index, ref_batch, *batches[b]) == single[b])) mismatches.fetch_add(1);
                }
            }
        });
    }
    for (auto &th : pool) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    vorn_index_free(index);
}

}  // namespace
