// Every index entry point against brute force, on an index built from the
// fuzzer's references (mostly A/C/G/T near neighbors and duplicates, with N,
// lower case and arbitrary bytes, lengths 0 to 40):
//
//   - the four exact lookups, records and counters;
//   - edit assignment, k = 0 to 3, plain and counting forms: the brute-force
//     record, and the counters, which follow from distances alone: a query a
//     path serves counts each encodable reference within k once (the paths
//     reach exactly those) plus each non-encodable reference inside the
//     path's length window; a query no path serves counts every reference;
//   - the status-only form: identical to the counting form for k = 0 and 3,
//     and for k = 1 and 2 the promises an early stop still keeps;
//   - Hamming assignment, k = 0 to 3, records and counters per route;
//   - the hit listing under both metrics, k = 0 to 3, in full and truncated;
//   - all of it on an index built with or without the optional tables, whose
//     edit records and counters equal those of the other choice of tables.
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "model.h"

namespace {

using model::refs_t;

model::distance_cache g_distances;
uint32_t distance(const std::string &a, const std::string &b) { return g_distances(a, b); }

vorn_match edit_record(const oracle::seq &q, const refs_t &refs, int32_t k) {
    return oracle::match_record(q, refs, static_cast<uint32_t>(k), distance);
}

struct harness {
    refs_t refs;
    refs_t queries;
    const vorn_index *index = nullptr;
    const uint8_t *const *qp = nullptr;
    const size_t *ql = nullptr;
    uint32_t flags = 0;

    [[noreturn]] void fail(const char *what, size_t qi, const vorn_match *got,
                           const vorn_match *want) const {
        std::fprintf(stderr, "query %zu\n", qi);
        if (got) fuzz::print_match("got", *got);
        if (want) fuzz::print_match("want", *want);
        fuzz::fail(what, refs, queries);
    }

    void check_stats(const char *what, const vorn_stats &got, uint64_t want) const {
        if (got.candidates == want && got.verifications == want) return;
        std::fprintf(stderr, "stats {%llu, %llu}, expected %llu each\n",
                     static_cast<unsigned long long>(got.candidates),
                     static_cast<unsigned long long>(got.verifications),
                     static_cast<unsigned long long>(want));
        fuzz::fail(what, refs, queries);
    }

    void exact_lookups() const {
        const size_t n = queries.size();
        for (int fold_case = 0; fold_case <= 1; ++fold_case) {
            std::vector<vorn_match> many(n);
            vorn_stats batch_stats{7, 7};
            const int32_t rc =
                fold_case ? vorn_index_lookup_exact_ascii_many_stats(index, qp, ql, n, many.data(),
                                                                     &batch_stats)
                          : vorn_index_lookup_exact_many_stats(index, qp, ql, n, many.data(),
                                                               &batch_stats);
            if (rc != 0) fail("batch exact lookup rejected its arguments", 0, nullptr, nullptr);
            uint64_t batch_want = 0;
            for (size_t i = 0; i < n; ++i) {
                uint64_t counted = 0;
                vorn_match want = oracle::match_invalid();
                if (!queries[i].invalid()) {
                    want = model::exact_expect(queries[i].bytes, refs, fold_case != 0, &counted);
                    if (refs.empty()) counted = 0;
                }
                batch_want += counted;
                vorn_match one;
                vorn_stats one_stats{9, 9};
                const int32_t rc1 =
                    fold_case ? vorn_index_lookup_exact_ascii_stats(index, qp[i], ql[i], &one,
                                                                    &one_stats)
                              : vorn_index_lookup_exact_stats(index, qp[i], ql[i], &one,
                                                              &one_stats);
                if (rc1 != 0) fail("exact lookup rejected its arguments", i, nullptr, nullptr);
                if (!fuzz::same(one, want))
                    fail(fold_case ? "ascii exact lookup" : "exact lookup", i, &one, &want);
                if (!fuzz::same(many[i], want))
                    fail(fold_case ? "ascii batch exact lookup" : "batch exact lookup", i,
                         &many[i], &want);
                check_stats("exact lookup counters", one_stats, counted);
            }
            check_stats("batch exact lookup counters", batch_stats, batch_want);
        }
        // Each reference with its letter case flipped: the case-folding
        // lookup finds it, whichever case either side uses.
        for (size_t r = 0; r < refs.size() && r < 8; ++r) {
            std::string flipped = refs[r].bytes;
            for (char &c : flipped)
                if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') c = static_cast<char>(c ^ 0x20);
            uint64_t counted = 0;
            const vorn_match want = model::exact_expect(flipped, refs, true, &counted);
            velmora_test::seq_batch one;
            one.add(flipped);
            vorn_match got;
            vorn_stats stats{9, 9};
            if (vorn_index_lookup_exact_ascii_stats(index, one.ptr(0), one.len(0), &got, &stats) != 0 ||
                !fuzz::same(got, want))
                fail("ascii exact lookup of a case-flipped reference", 0, &got, &want);
            check_stats("ascii exact lookup counters, case-flipped reference", stats, counted);
        }
    }

    void edit_assignment() const {
        const size_t n = queries.size();
        for (int32_t k = 0; k <= 3; ++k) {
            std::vector<vorn_match> plain(n), counted(n), status(n);
            vorn_stats stats{5, 5}, status_stats{5, 5};
            if (vorn_index_assign(index, qp, ql, n, k, plain.data()) != 0 ||
                vorn_index_assign_stats(index, qp, ql, n, k, counted.data(), &stats) != 0 ||
                vorn_index_assign_status_stats(index, qp, ql, n, k, status.data(),
                                               &status_stats) != 0)
                fail("index assignment rejected its arguments", 0, nullptr, nullptr);
            uint64_t least = 0, most = 0;
            for (size_t i = 0; i < n; ++i) {
                const oracle::seq &q = queries[i];
                const vorn_match want = edit_record(q, refs, k);
                if (!fuzz::same(plain[i], want)) fail("vorn_index_assign", i, &plain[i], &want);
                if (!fuzz::same(counted[i], want))
                    fail("vorn_index_assign_stats", i, &counted[i], &want);
                uint64_t lo = 0, hi = 0;
                if (!q.invalid() && !refs.empty()) model::assign_count_bounds(q.bytes, refs, k, distance, &lo, &hi);
                least += lo;
                most += hi;
                check_status_only(i, k, status[i], want);
            }
            if (stats.candidates != stats.verifications || stats.candidates < least || stats.candidates > most)
                fail("vorn_index_assign_stats counters out of bounds", 0, nullptr, nullptr);
            if (k != 1 && k != 2) {
                char what[96];
                std::snprintf(what, sizeof what, "vorn_index_assign_status_stats counters, k=%d", k);
                check_stats(what, status_stats, stats.candidates);
            } else if (status_stats.candidates != status_stats.verifications ||
                       status_stats.candidates > stats.candidates) {
                fail("status-only counters differ from each other or exceed the full form's", 0, nullptr, nullptr);
            }
        }
    }

    // The status-only form: the full record for k = 0 and 3, the promises
    // of an early stop for k = 1 and 2.
    void check_status_only(size_t i, int32_t k, const vorn_match &got,
                           const vorn_match &want) const {
        if (k != 1 && k != 2) {
            if (!fuzz::same(got, want)) fail("vorn_index_assign_status_stats", i, &got, &want);
            return;
        }
        const char *broken = model::status_only_broken(got, want, queries[i], refs, k, distance);
        if (broken != nullptr) {
            std::fprintf(stderr, "k=%d\n", k);
            fail(broken, i, &got, &want);
        }
    }

    void hamming_assignment() const {
        const size_t n = queries.size();
        for (int32_t k = 0; k <= 3; ++k) {
            std::vector<vorn_match> got(n);
            vorn_stats stats{3, 3};
            if (vorn_index_assign_hamming_stats(index, qp, ql, n, k, got.data(), &stats) != 0)
                fail("Hamming assignment rejected its arguments", 0, nullptr, nullptr);
            uint64_t want_count = 0;
            for (size_t i = 0; i < n; ++i) {
                const oracle::seq &q = queries[i];
                const vorn_match want = oracle::hamming_record(q, refs, static_cast<uint32_t>(k));
                if (!fuzz::same(got[i], want)) {
                    std::fprintf(stderr, "k=%d\n", k);
                    fail("vorn_index_assign_hamming_stats", i, &got[i], &want);
                }
                if (q.invalid() || refs.empty()) continue;
                if (k == 0) {
                    uint64_t c = 0;
                    model::exact_expect(q.bytes, refs, false, &c);
                    want_count += c;
                } else {
                    want_count += model::hamming_counted(q.bytes, refs, k, (flags & VORN_INDEX_NO_PIECES) != 0);
                }
            }
            char what[96];
            std::snprintf(what, sizeof what, "vorn_index_assign_hamming_stats counters, k=%d", k);
            check_stats(what, stats, want_count);
        }
    }
    // Every reference within k, ordered by distance then position; a short
    // buffer receives the first ones and the full count.
    void hit_lists() const {
        for (size_t i = 0; i < queries.size(); ++i) {
            const oracle::seq &q = queries[i];
            if (q.invalid()) continue;
            for (uint32_t metric : {VORN_METRIC_EDIT, VORN_METRIC_HAMMING}) {
                for (int32_t k = 0; k <= 3; ++k) {
                    std::vector<std::pair<uint32_t, uint32_t>> want;
                    for (size_t r = 0; r < refs.size(); ++r) {
                        const uint32_t d = metric == VORN_METRIC_EDIT
                                               ? distance(q.bytes, refs[r].bytes)
                                               : oracle::hamming(q.bytes, refs[r].bytes);
                        if (d <= static_cast<uint32_t>(k)) want.push_back({d, uint32_t(r)});
                    }
                    std::sort(want.begin(), want.end());
                    const size_t cap = want.size() > 1 && (i & 1) ? want.size() / 2 : want.size();
                    std::vector<vorn_hit> got(cap + 1, vorn_hit{7, 7});
                    size_t n = 99;
                    if (vorn_index_hits(index, qp[i], ql[i], metric, k, cap ? got.data() : nullptr,
                                        cap, &n) != 0 ||
                        n != want.size())
                        fail("vorn_index_hits count", i, nullptr, nullptr);
                    for (size_t h = 0; h < cap; ++h)
                        if (got[h].distance != want[h].first || got[h].ref_index != want[h].second)
                            fail("vorn_index_hits list", i, nullptr, nullptr);
                    if (got[cap].ref_index != 7) fail("vorn_index_hits wrote past capacity", i, nullptr, nullptr);
                }
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    harness h;
    const size_t n_refs = in.below(25);
    const size_t n_queries = 1 + in.below(8);
    // References are never null here (a null one makes the build fail, which
    // the first byte after the counts can ask for instead).
    const bool broken_ref = in.byte() == 0xEE && n_refs > 0;
    for (size_t i = 0; i < n_refs; ++i) h.refs.push_back(in.sequence(h.refs, 40, false));
    // Now and then a crowd of copies of one reference, so that queries meet
    // more than 128 distinct candidates and the paths' sets move to the heap.
    const uint8_t crowd = in.byte();
    if (crowd >= 224 && n_refs > 0) {
        const oracle::seq copy = h.refs[in.below(static_cast<uint32_t>(n_refs))];
        h.refs.insert(h.refs.end(), 100 + (crowd - 224) * 8u, copy);
    }
    for (size_t i = 0; i < n_queries; ++i) h.queries.push_back(in.sequence(h.refs, 40));

    g_distances.memo.clear();
    fuzz::batch r(h.refs), q(h.queries);
    if (broken_ref) {
        std::vector<const uint8_t *> ptrs(r.ptrs(), r.ptrs() + n_refs);
        std::vector<size_t> lens(r.lens(), r.lens() + n_refs);
        const size_t at = in.below(static_cast<uint32_t>(n_refs));
        ptrs[at] = nullptr;
        if (lens[at] == 0) lens[at] = 1;
        if (vorn_index_build(ptrs.data(), lens.data(), n_refs) != nullptr)
            fuzz::fail("vorn_index_build accepted a null reference", h.refs, h.queries);
        return 0;
    }
    // Read last, so that older corpus inputs keep their meaning.
    h.flags = in.byte() & 3u;
    vorn_index *index = vorn_index_build_opts(r.ptrs(), r.lens(), r.size(), h.flags);
    if (index == nullptr) fuzz::fail("vorn_index_build failed", h.refs, h.queries);
    h.index = index;
    h.qp = q.ptrs();
    h.ql = q.lens();
    h.exact_lookups();
    h.edit_assignment();
    h.hamming_assignment();
    h.hit_lists();
    // The same references with the other choice of tables: the same records
    // from every edit form (status-only included) and the same edit counters.
    vorn_index *other = vorn_index_build_opts(r.ptrs(), r.lens(), r.size(), h.flags ^ 3u);
    if (other == nullptr) fuzz::fail("vorn_index_build_opts failed", h.refs, h.queries);
    for (int32_t k = 1; k <= 2; ++k) {
        std::vector<vorn_match> a(n_queries), b(n_queries);
        vorn_stats sa{}, sb{};
        for (auto fn : {vorn_index_assign_stats, vorn_index_assign_status_stats}) {
            fn(index, q.ptrs(), q.lens(), n_queries, k, a.data(), &sa);
            fn(other, q.ptrs(), q.lens(), n_queries, k, b.data(), &sb);
            for (size_t i = 0; i < n_queries; ++i)
                if (!fuzz::same(a[i], b[i])) h.fail("records differ with the other tables", i, &a[i], &b[i]);
            h.check_stats("edit counters with the other tables", sb, sa.candidates);
        }
    }
    vorn_index_free(other);
    vorn_index_free(index);
    return 0;
}
