// The brute-force matchers against the record written straight from its
// definition: every query against a plain list of near-neighbor references,
// with null sequences among both, k from 0 to 4 and both ambiguity rules.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "gen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    const size_t n_refs = in.below(13);
    const size_t n_queries = 1 + in.below(6);
    const int32_t k = static_cast<int32_t>(in.below(5));
    const uint32_t require_single_hit = in.byte() & 1u;

    std::vector<oracle::seq> refs, queries;
    for (size_t i = 0; i < n_refs; ++i) refs.push_back(in.sequence(refs, 40));
    for (size_t i = 0; i < n_queries; ++i) queries.push_back(in.sequence(refs, 40));

    fuzz::batch r(refs), q(queries);
    std::vector<vorn_match> got(n_queries);
    std::vector<vorn_assignment> got_a(n_queries);
    if (vorn_match_many(q.ptrs(), q.lens(), n_queries, r.ptrs(), r.lens(), n_refs, k,
                        got.data()) != 0)
        fuzz::fail("vorn_match_many rejected valid arguments", refs, queries);
    if (vorn_assign_many(q.ptrs(), q.lens(), n_queries, r.ptrs(), r.lens(), n_refs, k,
                         require_single_hit, got_a.data()) != 0)
        fuzz::fail("vorn_assign_many rejected valid arguments", refs, queries);

    for (size_t i = 0; i < n_queries; ++i) {
        const vorn_match want = oracle::edit_record(queries[i], refs, static_cast<uint32_t>(k));
        if (!fuzz::same(got[i], want)) {
            std::fprintf(stderr, "query %zu, k=%d\n", i, k);
            fuzz::print_match("got", got[i]);
            fuzz::print_match("want", want);
            fuzz::fail("vorn_match_many record", refs, queries);
        }
        const vorn_assignment want_a = oracle::assignment_record(
            queries[i], refs, static_cast<uint32_t>(k), require_single_hit != 0);
        if (!fuzz::same(got_a[i], want_a)) {
            // The record as the match form prints it; best_count and the edit class after it.
            std::fprintf(stderr, "query %zu, k=%d, require_single_hit=%u\n", i, k, require_single_hit);
            fuzz::print_match("got", {got_a[i].best_index, got_a[i].best_distance, got_a[i].second_distance,
                                      got_a[i].hit_count, got_a[i].status});
            fuzz::print_match("want", {want_a.best_index, want_a.best_distance, want_a.second_distance,
                                       want_a.hit_count, want_a.status});
            std::fprintf(stderr, "  best_count %u / %u, class %u / %u\n", got_a[i].best_count, want_a.best_count,
                         got_a[i].edit_class, want_a.edit_class);
            fuzz::fail("vorn_assign_many record", refs, queries);
        }
    }
    return 0;
}
