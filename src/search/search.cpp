// The route table, the record a query's search writes, and the batch entry
// points of the edit, status-only and Hamming assignment.  See
// search/search.h; the full scan is probe_every_reference (index/probe.h).
//
//   metric   k     query                              route
//   any      0     any                                its key, or the non-encodable
//                                                     references of its length
//   edit     1     A/C/G/T, at most 32 bytes          one-edit neighbors
//   edit     1     at most 32 bytes, some unknown     single unknown byte
//   edit     2     A/C/G/T, at most 32 bytes          two-edit search by length
//   edit     2     at most 32 bytes, one unknown      single unknown byte
//   edit     2     33 or 34 bases                     long read
//   Hamming  1..3  A/C/G/T, at most 32 bytes          piece tables (or neighborhood)
//   Hamming  1..3  at most 32 bytes, some unknown     replacements
//   otherwise                                         full scan
#include "search/search.h"

#include "assign/assign_internal.h"
#include "hamming/hamming_internal.h"
#include "match/match_record.h"

namespace velmora {
namespace {

// The kinds of query the routes tell apart.
enum query_kind : uint32_t {
    KIND_CODE,         // A/C/G/T, at most 32 bytes
    KIND_ONE_UNKNOWN,  // at most 32 bytes, one of them unknown
    KIND_UNKNOWNS,     // at most 32 bytes, several unknown
    KIND_LONG_READ,    // 33 or 34 bases
    KIND_OTHER,
    KIND_COUNT
};

query_kind kind_of(const query_facts &q) noexcept {
    if (q.encodable) return KIND_CODE;
    if (q.long_read) return KIND_LONG_READ;
    if (q.len > DNA2_MAX_LEN) return KIND_OTHER;
    return q.unknown == 1 ? KIND_ONE_UNKNOWN : KIND_UNKNOWNS;
}

// k = 0 under either metric: the references identical to the query, which
// are those of its key, or, for a query without a code, among the
// non-encodable references of its length.
step search_exact(probe_sink *s, const query_facts &q) noexcept {
    return q.encodable ? probe_key(s, q.code, q.len) : probe_nonencodable(s, 0, false);
}

// The same into a plain record, which the exact lookup writes at the cost of
// one slot read, without a sink's set-up or a candidate set.
constexpr search_route EXACT{search_exact, index_exact_record, nullptr, true};
constexpr search_route EDIT_ONE{edit_search_one, nullptr, edit_warm_one, true};
constexpr search_route EDIT_UNKNOWN_ONE{edit_search_unknown_one, nullptr, nullptr, true};
constexpr search_route EDIT_TWO{edit_search_two, nullptr, edit_warm_two, true};
constexpr search_route EDIT_UNKNOWN_TWO{edit_search_unknown_two, nullptr, nullptr, true};
constexpr search_route EDIT_LONG_READ{edit_search_long_read, nullptr, nullptr, false};
constexpr search_route HAMMING_CODE{hamming_search_code, nullptr, nullptr, true};
constexpr search_route HAMMING_UNKNOWN{hamming_search_unknown, nullptr, nullptr, true};

constexpr size_t MAX_K = 3;

// [metric][k][kind]; null: the full scan.
constexpr const search_route *ROUTES[2][MAX_K + 1][KIND_COUNT] = {
    {
        // edit: code, one unknown, unknowns, long read, other
        {&EXACT, &EXACT, &EXACT, &EXACT, &EXACT},
        {&EDIT_ONE, &EDIT_UNKNOWN_ONE, &EDIT_UNKNOWN_ONE, nullptr, nullptr},
        {&EDIT_TWO, &EDIT_UNKNOWN_TWO, nullptr, &EDIT_LONG_READ, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    },
    {
        // Hamming
        {&EXACT, &EXACT, &EXACT, &EXACT, &EXACT},
        {&HAMMING_CODE, &HAMMING_UNKNOWN, &HAMMING_UNKNOWN, nullptr, nullptr},
        {&HAMMING_CODE, &HAMMING_UNKNOWN, &HAMMING_UNKNOWN, nullptr, nullptr},
        {&HAMMING_CODE, &HAMMING_UNKNOWN, &HAMMING_UNKNOWN, nullptr, nullptr},
    },
};

}  // namespace

const search_route *search_route_for(uint32_t metric, int32_t k, const query_facts &q) noexcept {
    if (!search_bound_valid(metric, k) || k > static_cast<int32_t>(MAX_K)) return nullptr;
    return ROUTES[metric][k][kind_of(q)];
}

void search_record(const vorn_index *index, const query_facts &q, uint32_t metric, int32_t k,
                   vorn_match *result, vorn_stats *stats, bool stop_when_ambiguous) noexcept {
    if (index->n_refs == 0) {
        match_reset(result, VORN_STATUS_NONE);
        return;
    }
    const search_route *route = search_route_for(metric, k, q);
    if (route != nullptr && route->record != nullptr) {
        route->record(index, q, result, stats);
        return;
    }
    probe_sink sink;
    probe_sink_start(&sink, index, q, k, metric, result, stats,
                     stop_when_ambiguous && route != nullptr && route->may_stop, nullptr);
    step r = route != nullptr ? route->run(&sink, q) : probe_every_reference(&sink);
    if (r == step::out_of_memory && route != nullptr) {
        // Whatever the route applied is discarded (its counters are not rolled
        // back); the full scan needs no memory.
        probe_sink_start(&sink, index, q, k, metric, result, stats, false, nullptr);
        r = probe_every_reference(&sink);
    }
    // Only a distance that could not be computed stops the full scan.
    if (r == step::out_of_memory) {
        match_reset_invalid(result);
        return;
    }
    match_finish(result, sink.best_count);
}

namespace {

// Requests what the next queries' searches read first, so that their misses
// overlap the work on the query before: the own key's slot of the next edit
// query, the piece buckets of the next two Hamming queries.
void search_warm(const vorn_index *index, uint32_t metric, int32_t k, const query_facts &q,
                 int step) noexcept {
    if (metric == VORN_METRIC_HAMMING) {
        if (q.encodable && k >= 1) hamming_piece_warm(index, q.code, q.len, k, step);
        return;
    }
    if (step == 0 || !q.encodable || !index_has_length(index, q.len)) return;
    const uint64_t h = index_key_hash(q.code, q.len);
    index_filter_prefetch(index, h);
    const key_table *t = index_key_table(index, q.len);
    index_key_prefetch(t, index_key_home(t, h));
}

// The batch of every assignment entry point: -1 for arguments it rejects,
// else 0.  Each query's facts are worked out once, two queries ahead of its
// search.
int32_t search_batch(const vorn_index *index, const uint8_t *const *queries, const size_t *lens,
                     size_t n, uint32_t metric, int32_t k, vorn_match *results, vorn_stats *stats,
                     bool stop_when_ambiguous) noexcept {
    if (!search_bound_valid(metric, k) || index == nullptr || results == nullptr) return -1;
    if (n > 0 && (queries == nullptr || lens == nullptr)) return -1;
    stats_clear(stats);
    query_facts facts[3];
    const auto valid = [&](size_t i) { return queries[i] != nullptr || lens[i] == 0; };
    for (size_t i = 0; i < n && i < 2; ++i) {
        if (valid(i)) query_facts_of(&facts[i], queries[i], lens[i]);
    }
    for (size_t i = 0; i < n; ++i) {
        if (i + 2 < n && valid(i + 2)) {
            query_facts_of(&facts[(i + 2) % 3], queries[i + 2], lens[i + 2]);
            search_warm(index, metric, k, facts[(i + 2) % 3], 0);
        }
        if (i + 1 < n && valid(i + 1)) search_warm(index, metric, k, facts[(i + 1) % 3], 1);
        if (!valid(i)) {
            match_reset_invalid(&results[i]);
            continue;
        }
        search_record(index, facts[i % 3], metric, k, &results[i], stats, stop_when_ambiguous);
    }
    return 0;
}

}  // namespace
}  // namespace velmora

using velmora::search_batch;

extern "C" VORN_API int32_t vorn_index_assign_stats(const vorn_index *index,
                                                    const uint8_t *const *queries,
                                                    const size_t *query_lens, size_t n_queries,
                                                    int32_t k, vorn_match *results,
                                                    vorn_stats *stats) VORN_NOEXCEPT {
    return search_batch(index, queries, query_lens, n_queries, VORN_METRIC_EDIT, k, results,
                        stats, false);
}

extern "C" VORN_API int32_t vorn_index_assign(const vorn_index *index,
                                              const uint8_t *const *queries,
                                              const size_t *query_lens, size_t n_queries,
                                              int32_t k, vorn_match *results) VORN_NOEXCEPT {
    return vorn_index_assign_stats(index, queries, query_lens, n_queries, k, results, nullptr);
}

extern "C" VORN_API int32_t vorn_index_assign_status_stats(const vorn_index *index,
                                                           const uint8_t *const *queries,
                                                           const size_t *query_lens,
                                                           size_t n_queries, int32_t k,
                                                           vorn_match *results,
                                                           vorn_stats *stats) VORN_NOEXCEPT {
    return search_batch(index, queries, query_lens, n_queries, VORN_METRIC_EDIT, k, results,
                        stats, k == 1 || k == 2);
}

extern "C" VORN_API int32_t vorn_index_assign_hamming_stats(
    const vorn_index *index, const uint8_t *const *queries, const size_t *query_lens,
    size_t n_queries, int32_t k, vorn_match *results, vorn_stats *stats) VORN_NOEXCEPT {
    return search_batch(index, queries, query_lens, n_queries, VORN_METRIC_HAMMING, k, results,
                        stats, false);
}
