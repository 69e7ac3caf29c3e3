// Several threads using one index at once, each through every entry point
// with its own outputs and counters, must get what the same calls give on one
// thread.  Built with ThreadSanitizer this also shows any write to the shared
// index or other shared state.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using velmora_test::seq_batch;

// Everything one batch produces, entry point by entry point, as raw words.
struct trace {
    std::vector<uint8_t> bytes;
    template <class T>
    void add(const T &v) {
        const auto *p = reinterpret_cast<const uint8_t *>(&v);
        bytes.insert(bytes.end(), p, p + sizeof v);
    }
    template <class T>
    void add_all(const std::vector<T> &v) {
        for (const T &x : v) add(x);
    }
};

trace run_batch(const vorn_index *index, const seq_batch &refs, const seq_batch &q) {
    trace out;
    const size_t n = q.size();
    std::vector<vorn_match> m(n);
    std::vector<vorn_assignment> a(n);
    vorn_stats st{};
    out.add(vorn_index_lookup_exact_many_stats(index, q.ptrs(), q.lens(), n, m.data(), &st));
    out.add_all(m), out.add(st);
    out.add(vorn_index_lookup_exact_ascii_many_stats(index, q.ptrs(), q.lens(), n, m.data(), &st));
    out.add_all(m), out.add(st);
    for (int32_t k = 0; k <= 3; ++k) {
        out.add(vorn_index_assign_stats(index, q.ptrs(), q.lens(), n, k, m.data(), &st));
        out.add_all(m), out.add(st);
        out.add(vorn_index_assign_status_stats(index, q.ptrs(), q.lens(), n, k, m.data(), &st));
        out.add_all(m), out.add(st);
        out.add(vorn_index_assign_hamming_stats(index, q.ptrs(), q.lens(), n, k, m.data(), &st));
        out.add_all(m), out.add(st);
    }
    out.add(vorn_match_many(q.ptrs(), q.lens(), n, refs.ptrs(), refs.lens(), refs.size(), 2, m.data()));
    out.add_all(m);
    out.add(vorn_assign_many(q.ptrs(), q.lens(), n, refs.ptrs(), refs.lens(), refs.size(), 2, 1, a.data()));
    out.add_all(a);
    vorn_rescue_params p;
    vorn_rescue_params_default(&p);
    const std::vector<uint64_t> counts(refs.size(), 2);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t *r = refs.ptr(i % refs.size());
        const size_t rl = refs.len(i % refs.size());
        out.add(vorn_edit_distance(q.ptr(i), q.len(i), r, rl));
        out.add(vorn_edit_distance_leq(q.ptr(i), q.len(i), r, rl, 2));
        std::vector<vorn_hit> hits(8);
        size_t nh = 0;
        out.add(vorn_index_hits(index, q.ptr(i), q.len(i), VORN_METRIC_EDIT, 2, hits.data(), hits.size(), &nh));
        out.add_all(hits), out.add(nh);
        vorn_rescue_result res{};
        out.add(vorn_rescue_read(index, q.ptr(i), nullptr, q.len(i), 16, counts.data(), counts.size(), &p,
                                 hits.data(), hits.size(), &nh, &res));
        out.add(res.ref_index), out.add(res.status), out.add(res.posterior);
    }
    return out;
}

TEST(Concurrency, ThreadsSharingOneIndexGetTheSingleThreadedResults) {
    SCOPED_TRACE(velmora_test::test_seed());
    velmora_test::rng g(velmora_test::test_seed());
    // Families of near neighbors, plus a crowd of duplicates big enough to
    // push a query's candidate set onto the heap in every thread at once.
    std::vector<oracle::seq> refs = velmora_test::near_neighbor_refs(g, 12, 130, 34);
    for (int i = 0; i < 140; ++i) refs.push_back(oracle::seq{"ACGTTGCAAC"});
    refs.push_back(oracle::seq{std::string(600, 'A')});
    seq_batch ref_batch(refs);
    vorn_index *index = vorn_index_build(ref_batch.ptrs(), ref_batch.lens(), ref_batch.size());
    ASSERT_NE(index, nullptr);

    constexpr size_t threads = 4;
    std::vector<std::unique_ptr<seq_batch>> batches;
    std::vector<trace> single;
    for (size_t t = 0; t < threads; ++t) {
        std::vector<oracle::seq> qs = velmora_test::near_neighbor_queries(g, refs, 18, 36);
        qs.push_back(oracle::seq{"ACGTTGCAAC"});
        qs.push_back(oracle::seq{std::string(590, 'A')});
        batches.push_back(std::make_unique<seq_batch>(qs));
        single.push_back(run_batch(index, ref_batch, *batches.back()));
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
            for (int round = 0; round < 2; ++round)
                for (size_t b : {t, (t + 1) % threads})
                    if (run_batch(index, ref_batch, *batches[b]).bytes != single[b].bytes) mismatches.fetch_add(1);
        });
    }
    for (auto &th : pool) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    vorn_index_free(index);
}

}  // namespace
