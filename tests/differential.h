// The differential checkers shared by the fuzz harnesses and the gtest
// suites, so that both hold the library to the same rules: the fuzz inputs
// decode to sequences and lists, the gtest generators aim them at each path.
// The first disagreement is printed with the sequences in play and aborts
// (velmora_test::fail): the fuzzer keeps the input, a test fails.
//
// check_pair: every distance function, public and internal, on one pair in
// both operand orders, with bounds on both sides of the distance (where a
// band one diagonal too narrow would show).
//
// index_check: every index entry point against brute force and the models
// of model.h, on one list of references and one batch of queries:
//   - the four exact lookups, records and counters, and every reference
//     found by the case-folding lookup with its letter case flipped;
//   - edit assignment, plain and counting forms: the brute-force record, and
//     each query's counters within the bounds its route allows (exact where
//     the route is documented); the batch counters their sum;
//   - the status-only form: identical to the counting form for k = 0 and
//     k > 2, and for k = 1 and 2 the promises an early stop still keeps;
//   - with an index of the same references built with other tables: the
//     same records and counters, query by query;
//   - Hamming assignment, k = 0 to 3, records and each query's counters;
//   - the hit listing under both metrics, k = 0 to 3, in full and truncated.
#ifndef VELMORA_TESTS_DIFFERENTIAL_H
#define VELMORA_TESTS_DIFFERENTIAL_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "distance/distance_internal.h"
#include "distance/kernels.h"
#include "model.h"

namespace velmora_test {

// d: the distance of a and b, UINT32_MAX when either is invalid.  A null
// operand (of length 0, the empty sequence) meets the public functions only.
inline void check_pair(const oracle::seq &a, const oracle::seq &b, uint32_t d, bool check_dp = true) {
    const seq_batch buf(std::vector<oracle::seq>{a, b});
    const uint8_t *pa = buf.ptr(0), *pb = buf.ptr(1);
    const size_t la = buf.len(0), lb = buf.len(1);
    const auto expect = [&](const char *fn, int64_t ab, int64_t ba, int64_t want, int64_t k) {
        if (ab == want && ba == want) return;
        char what[200];
        std::snprintf(what, sizeof what, "%s gave %lld (a, b) and %lld (b, a), expected %lld (k %lld, distance %u)",
                      fn, static_cast<long long>(ab), static_cast<long long>(ba), static_cast<long long>(want),
                      static_cast<long long>(k), d);
        fail(what, {a, b}, {});
    };
    if (check_dp) expect("vorn_edit_distance_dp", vorn_edit_distance_dp(pa, la, pb, lb), vorn_edit_distance_dp(pb, lb, pa, la), d, -1);
    expect("vorn_edit_distance_myers64", vorn_edit_distance_myers64(pa, la, pb, lb),
           vorn_edit_distance_myers64(pb, lb, pa, la), d, -1);
    expect("vorn_edit_distance", vorn_edit_distance(pa, la, pb, lb), vorn_edit_distance(pb, lb, pa, la), d, -1);
    const bool invalid = d == UINT32_MAX, internal = !invalid && !a.null_ptr && !b.null_ptr;
    const auto di = static_cast<int32_t>(d);
    for (const int32_t k : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 15, 31, 32, di / 2, di - 2, di - 1, di, di + 1, INT32_MAX}) {
        const bool within = !invalid && k >= 0 && d <= static_cast<uint32_t>(k);
        expect("vorn_edit_distance_leq", vorn_edit_distance_leq(pa, la, pb, lb, k),
               vorn_edit_distance_leq(pb, lb, pa, la, k), invalid ? -1 : within, k);
        if (!internal || k < 0) continue;
        expect("candidate_distance_within_k", velmora::candidate_distance_within_k(pa, la, pb, lb, k),
               velmora::candidate_distance_within_k(pb, lb, pa, la, k), within ? di : velmora::CANDIDATE_FARTHER, k);
        // The bounded kernels say "farther" as exactly k + 1.
        const uint32_t bound = static_cast<uint32_t>(k), capped = within ? d : bound + 1;
        if (la >= 1 && la <= velmora::BIT_PARALLEL_MAX_PATTERN && k >= 1 && bound <= velmora::BANDED_MAX_K)
            expect("edit_distance_banded", velmora::edit_distance_banded(pa, la, pb, lb, bound), capped, capped, k);
        if (la >= 1 && lb >= 1)
            expect("edit_distance_blocked_within", velmora::edit_distance_blocked_within(pa, la, pb, lb, bound),
                   capped, capped, k);
    }
    if (internal && (la + 1 == lb || lb + 1 == la)) {
        const int32_t one = la > lb ? velmora::one_delete_matches(pa, la, pb, lb) : velmora::one_delete_matches(pb, lb, pa, la);
        expect("one_delete_matches", one, one, d == 1, -1);
    }
    if (internal && la == lb) {
        const uint32_t h = oracle::hamming(a.bytes, b.bytes);
        for (const uint32_t limit : {0u, 1u, 2u, 3u, 5u, 8u, 9u, h, 1000u}) {
            const bool ok = h <= limit;
            const int64_t scan = velmora::hamming_scan_bounded(pa, pb, la, limit),
                          within = velmora::same_length_hamming_distance_within_k(pa, pb, la, static_cast<int32_t>(limit));
            expect("hamming_scan_bounded", scan, scan, ok ? h : UINT32_MAX, limit);
            expect("same_length_hamming_distance_within_k", within, within, ok ? static_cast<int32_t>(h) : -1, limit);
        }
    }
}

struct index_check {
    using assign_fn = int32_t (*)(const vorn_index *, const uint8_t *const *, const size_t *, size_t, int32_t,
                                  vorn_match *, vorn_stats *);

    model::refs_t refs, queries;
    uint32_t flags = VORN_INDEX_ALL;  // the tables of `index`
    std::vector<int32_t> edit_ks{0, 1, 2, 3};
    // The status-only two-edit search in its documented order, query by
    // query (model::status_only_two_edits): costly, left to the unit tests.
    bool search_order = false;
    const vorn_index *index = nullptr, *other = nullptr;  // other: the same references, other tables
    const uint8_t *const *qp = nullptr;
    const size_t *ql = nullptr;
    mutable model::distance_cache distances;

    index_check(model::refs_t r, model::refs_t q, uint32_t f = VORN_INDEX_ALL)
        : refs(std::move(r)), queries(std::move(q)), flags(f), batch_(queries) {
        qp = batch_.ptrs();
        ql = batch_.lens();
    }

    void all() const {
        exact_lookups();
        edit_assignment();
        hamming_assignment();
        hit_lists();
    }

    uint32_t distance(const std::string &a, const std::string &b) const { return distances(a, b); }

    [[noreturn]] void fail(const char *what, size_t qi, const vorn_match *got = nullptr,
                           const vorn_match *want = nullptr, int32_t k = -1) const {
        std::fprintf(stderr, "query %zu, k=%d\n", qi, k);
        if (got) print_match("got", *got);
        if (want) print_match("want", *want);
        velmora_test::fail(what, refs, queries);
    }

    void check_stats(const char *what, size_t qi, const vorn_stats &got, uint64_t want, int32_t k = -1) const {
        if (got.candidates == want && got.verifications == want) return;
        std::fprintf(stderr, "stats {%llu, %llu}, expected %llu each\n",
                     static_cast<unsigned long long>(got.candidates),
                     static_cast<unsigned long long>(got.verifications), static_cast<unsigned long long>(want));
        fail(what, qi, nullptr, nullptr, k);
    }

    void expect_same(const char *what, size_t qi, const vorn_match &got, const vorn_match &want,
                     int32_t k = -1) const {
        if (!same(got, want)) fail(what, qi, &got, &want, k);
    }

    // One query alone through a batch entry point: its record and counters.
    std::pair<vorn_match, vorn_stats> alone(assign_fn fn, const vorn_index *ix, size_t i, int32_t k) const {
        std::pair<vorn_match, vorn_stats> out{oracle::match_none(), {0xA5A5, 0xA5A5}};
        if (fn(ix, qp + i, ql + i, 1, k, &out.first, &out.second) != 0) fail("a single query was rejected", i);
        return out;
    }

    void exact_lookups() const {
        const size_t n = queries.size();
        for (const bool fold_case : {false, true}) {
            std::vector<vorn_match> many(n);
            vorn_stats batch_stats{7, 7};
            if ((fold_case ? vorn_index_lookup_exact_ascii_many_stats : vorn_index_lookup_exact_many_stats)(
                    index, qp, ql, n, many.data(), &batch_stats) != 0)
                fail("batch exact lookup rejected its arguments", 0);
            uint64_t batch_want = 0;
            for (size_t i = 0; i < n; ++i) {
                uint64_t counted = 0;
                vorn_match want = oracle::match_invalid();
                if (!queries[i].invalid()) {
                    want = model::exact_expect(queries[i].bytes, refs, fold_case, &counted);
                    if (refs.empty()) counted = 0;
                }
                batch_want += counted;
                vorn_match one;
                vorn_stats one_stats{9, 9};
                if ((fold_case ? vorn_index_lookup_exact_ascii_stats : vorn_index_lookup_exact_stats)(
                        index, qp[i], ql[i], &one, &one_stats) != 0)
                    fail("exact lookup rejected its arguments", i);
                expect_same(fold_case ? "ascii exact lookup" : "exact lookup", i, one, want);
                expect_same(fold_case ? "ascii batch exact lookup" : "batch exact lookup", i, many[i], want);
                check_stats("exact lookup counters", i, one_stats, counted);
            }
            check_stats("batch exact lookup counters", 0, batch_stats, batch_want);
        }
        // Each reference with its letter case flipped: the case-folding
        // lookup finds it, whichever case either side uses.
        for (size_t r = 0; r < refs.size() && r < 8; ++r) {
            std::string flipped = refs[r].bytes;
            for (char &c : flipped)
                if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') c = static_cast<char>(c ^ 0x20);
            uint64_t counted = 0;
            const vorn_match want = model::exact_expect(flipped, refs, true, &counted);
            seq_batch one;
            one.add(flipped);
            vorn_match got;
            vorn_stats stats{9, 9};
            if (vorn_index_lookup_exact_ascii_stats(index, one.ptr(0), one.len(0), &got, &stats) != 0)
                fail("ascii exact lookup rejected a case-flipped reference", r);
            expect_same("ascii exact lookup of a case-flipped reference", r, got, want);
            check_stats("ascii exact lookup counters, case-flipped reference", r, stats, counted);
        }
    }

    void edit_assignment() const {
        const size_t n = queries.size();
        const auto dist = [this](const std::string &a, const std::string &b) { return distance(a, b); };
        for (const int32_t k : edit_ks) {
            std::vector<vorn_match> plain(n), counted(n), status(n);
            vorn_stats stats{5, 5}, status_stats{5, 5};
            if (vorn_index_assign(index, qp, ql, n, k, plain.data()) != 0 ||
                vorn_index_assign_stats(index, qp, ql, n, k, counted.data(), &stats) != 0 ||
                vorn_index_assign_status_stats(index, qp, ql, n, k, status.data(), &status_stats) != 0)
                fail("index assignment rejected its arguments", 0, nullptr, nullptr, k);
            uint64_t sum = 0;
            for (size_t i = 0; i < n; ++i) {
                const oracle::seq &q = queries[i];
                const vorn_match want = oracle::match_record(q, refs, static_cast<uint32_t>(k), dist);
                expect_same("vorn_index_assign", i, plain[i], want, k);
                expect_same("vorn_index_assign_stats", i, counted[i], want, k);
                check_status_only(i, k, status[i], want);
                // The query alone: what its route measured, within the
                // bounds the definition puts on it (exactly the references
                // reached, for a query with a code or one foreign byte).
                const auto [full_m, full] = alone(vorn_index_assign_stats, index, i, k);
                uint64_t least = 0, most = 0, exact = 0;
                if (!q.invalid() && !refs.empty()) model::assign_count_bounds(q.bytes, refs, k, dist, &least, &most);
                if (full.candidates != full.verifications || full.candidates < least || full.candidates > most) {
                    std::fprintf(stderr, "counted %llu, bounds %llu..%llu\n",
                                 static_cast<unsigned long long>(full.candidates),
                                 static_cast<unsigned long long>(least), static_cast<unsigned long long>(most));
                    fail("vorn_index_assign_stats counters out of bounds", i, nullptr, nullptr, k);
                }
                if ((k == 1 || k == 2) && !q.invalid() && model::coded_query_counted(q.bytes, refs, k, dist, &exact))
                    check_stats("vorn_index_assign_stats counters of a coded query", i, full, exact, k);
                sum += full.candidates;
                // Status-only measures what the full search would, or less.
                const auto [so_m, so] = alone(vorn_index_assign_status_stats, index, i, k);
                expect_same("status-only form, the query alone", i, so_m, status[i], k);
                if (so.candidates != so.verifications || so.candidates > full.candidates)
                    fail("status-only counters differ or exceed the full form's", i, nullptr, nullptr, k);
                // At k = 2 the order of an A/C/G/T query's search is
                // documented, so where it stops, and what it has measured
                // then, is fixed.
                if (search_order && k == 2 && !q.invalid() && model::encodable(q.bytes)) {
                    uint64_t examined = 0;
                    const vorn_match order = model::status_only_two_edits(q.bytes, refs, dist, &examined);
                    expect_same("status-only two-edit search order", i, status[i], order, k);
                    check_stats("status-only two-edit search counters", i, so, examined, k);
                }
                // Other tables change no record and no counter; the longer
                // references are taken in one order whichever table finds
                // them, so the status-only search stops alike.
                if (other != nullptr) {
                    const auto [o_m, o] = alone(vorn_index_assign_stats, other, i, k);
                    expect_same("records differ with the other tables", i, o_m, want, k);
                    check_stats("edit counters differ with the other tables", i, o, full.candidates, k);
                    const auto [os_m, os] = alone(vorn_index_assign_status_stats, other, i, k);
                    expect_same("status-only records differ with the other tables", i, os_m, status[i], k);
                    check_stats("status-only counters differ with the other tables", i, os, so.candidates, k);
                }
            }
            check_stats("vorn_index_assign_stats batch counters", 0, stats, sum, k);
            if (k != 1 && k != 2) {
                check_stats("vorn_index_assign_status_stats batch counters", 0, status_stats, sum, k);
            } else if (status_stats.candidates != status_stats.verifications || status_stats.candidates > sum) {
                fail("status-only batch counters differ or exceed the full form's", 0, nullptr, nullptr, k);
            }
        }
    }

    // The status-only form: the full record for k = 0 and k > 2, the
    // promises of an early stop for k = 1 and 2.
    void check_status_only(size_t i, int32_t k, const vorn_match &got, const vorn_match &want) const {
        if (k != 1 && k != 2) return expect_same("vorn_index_assign_status_stats", i, got, want, k);
        const auto dist = [this](const std::string &a, const std::string &b) { return distance(a, b); };
        const char *broken = model::status_only_broken(got, want, queries[i], refs, k, dist);
        if (broken != nullptr) fail(broken, i, &got, &want, k);
    }

    void hamming_assignment() const {
        const size_t n = queries.size();
        for (int32_t k = 0; k <= 3; ++k) {
            std::vector<vorn_match> got(n);
            vorn_stats stats{3, 3};
            if (vorn_index_assign_hamming_stats(index, qp, ql, n, k, got.data(), &stats) != 0)
                fail("Hamming assignment rejected its arguments", 0, nullptr, nullptr, k);
            uint64_t sum = 0;
            for (size_t i = 0; i < n; ++i) {
                const oracle::seq &q = queries[i];
                const vorn_match want = oracle::hamming_record(q, refs, static_cast<uint32_t>(k));
                expect_same("vorn_index_assign_hamming_stats", i, got[i], want, k);
                uint64_t taken = 0;
                if (q.invalid() || refs.empty()) {
                } else if (k == 0) {
                    model::exact_expect(q.bytes, refs, false, &taken);
                } else {
                    taken = model::hamming_counted(q.bytes, refs, k, (flags & VORN_INDEX_NO_PIECES) != 0);
                }
                check_stats("vorn_index_assign_hamming_stats counters", i,
                            alone(vorn_index_assign_hamming_stats, index, i, k).second, taken, k);
                sum += taken;
            }
            check_stats("vorn_index_assign_hamming_stats batch counters", 0, stats, sum, k);
        }
    }

    // Every reference within k, ordered by distance then position; a short
    // buffer receives the first ones and the full count.
    void hit_lists() const {
        for (size_t i = 0; i < queries.size(); ++i) {
            const oracle::seq &q = queries[i];
            if (q.invalid()) continue;
            for (const uint32_t metric : {VORN_METRIC_EDIT, VORN_METRIC_HAMMING}) {
                for (int32_t k = 0; k <= 3; ++k) {
                    std::vector<std::pair<uint32_t, uint32_t>> want;
                    for (size_t r = 0; r < refs.size(); ++r) {
                        const uint32_t d = metric == VORN_METRIC_EDIT ? distance(q.bytes, refs[r].bytes)
                                                                      : oracle::hamming(q.bytes, refs[r].bytes);
                        if (d <= static_cast<uint32_t>(k)) want.push_back({d, static_cast<uint32_t>(r)});
                    }
                    std::sort(want.begin(), want.end());
                    const size_t cap = want.size() > 1 && (i & 1) ? want.size() / 2 : want.size();
                    std::vector<vorn_hit> got(cap + 1, vorn_hit{7, 7});
                    size_t n = 99;
                    if (vorn_index_hits(index, qp[i], ql[i], metric, k, cap ? got.data() : nullptr, cap, &n) != 0 ||
                        n != want.size())
                        fail("vorn_index_hits count", i, nullptr, nullptr, k);
                    for (size_t h = 0; h < cap; ++h)
                        if (got[h].distance != want[h].first || got[h].ref_index != want[h].second)
                            fail("vorn_index_hits list", i, nullptr, nullptr, k);
                    if (got[cap].ref_index != 7) fail("vorn_index_hits wrote past capacity", i, nullptr, nullptr, k);
                }
            }
        }
    }

private:
    seq_batch batch_;
};

}  // namespace velmora_test

#endif
