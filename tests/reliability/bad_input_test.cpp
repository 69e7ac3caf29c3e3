// The one table of bad arguments, for every entry point.  Outputs start
// filled with a pattern: a rejected call must return its documented value
// and leave results, counters, hits and decisions exactly as they were (an
// accepted call with a bad query or reference marks it as the differential
// tests' oracle says, on their null sequences).  Huge claimed
// lengths are paired with one-byte buffers where the contract says nothing
// is read, so that a read shows as a sanitizer error.  No call may leave a
// block allocated.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/alloc_hooks.h"
#include "test_util.h"

namespace {

constexpr uint8_t PATTERN = 0xA5;
constexpr size_t N = 3;

struct outputs {
    vorn_match m[N];
    vorn_assignment a[N];
    vorn_stats st;
    vorn_hit h[2];
    size_t n;
    vorn_rescue_result r;
    outputs() { std::memset(static_cast<void *>(this), PATTERN, sizeof *this); }
    static bool pristine(const void *p, size_t size) {
        for (size_t i = 0; i < size; ++i)
            if (static_cast<const uint8_t *>(p)[i] != PATTERN) return false;
        return true;
    }
    bool untouched() const { return pristine(this, sizeof *this); }
    bool untouched_but_stats() const {
        return pristine(m, sizeof m) && pristine(a, sizeof a) && pristine(h, sizeof h) &&
               pristine(&n, sizeof n) && pristine(&r, sizeof r);
    }
};

struct row {
    std::string name;
    std::function<int64_t(outputs &)> call;
    int64_t want;
    std::function<void(const outputs &)> check;  // null: nothing may be written
};

// An index of a few references and an index of none; queries "ACGT",
// "ACGA", "TTTT" in exact-length blocks, and a one-byte buffer.
struct fixture {
    std::vector<oracle::seq> refs = velmora_test::as_seqs({"ACGT", "ACGA", "NNNN", "ACGTACGTAC"});
    velmora_test::built_index index{refs};
    velmora_test::built_index empty{std::vector<oracle::seq>{}};
    velmora_test::seq_batch one{velmora_test::as_seqs({"A"})};
    velmora_test::seq_batch queries{velmora_test::as_seqs({"ACGT", "ACGA", "TTTT"})};
};

// Query arrays with a null sequence of nonzero length at position `at`.
struct holed {
    const uint8_t *p[N];
    size_t l[N];
    holed(const fixture &f, size_t at) {
        for (size_t i = 0; i < N; ++i) p[i] = f.queries.ptr(i), l[i] = f.queries.len(i);
        p[at] = nullptr;
        l[at] = 3;
    }
};

std::vector<row> bad_input_rows(const fixture &f) {
    const uint8_t *a = f.queries.ptr(0), *t = f.queries.ptr(2), *A = f.one.ptr(0);
    const auto *qp = f.queries.ptrs();
    const auto *ql = f.queries.lens();
    const auto *rp = f.index.batch.ptrs();
    const auto *rl = f.index.batch.lens();
    const size_t nr = f.refs.size();
    const vorn_index *ix = f.index.index, *empty = f.empty.index;
    std::vector<row> rows;
    const auto add = [&](std::string name, std::function<int64_t(outputs &)> call, int64_t want,
                         std::function<void(const outputs &)> check = nullptr) {
        rows.push_back({std::move(name), std::move(call), want, std::move(check)});
    };

    // Pairwise distances: a null operand with a nonzero length, or a length
    // past 0x7FFFFFFF, is refused.
    struct operands {
        const uint8_t *a;
        size_t a_len;
        const uint8_t *b;
        size_t b_len;
    };
    const operands refused[] = {{nullptr, 4, a, 4}, {a, 4, nullptr, 2}, {a, 4, nullptr, SIZE_MAX},
                                {A, 0x80000000u, a, 4}, {a, 4, A, 0x80000000u}, {A, SIZE_MAX, a, 4},
                                {a, 4, A, SIZE_MAX}, {A, 0x80000000u, nullptr, 0}};
    using distance_fn = uint32_t (*)(const uint8_t *, size_t, const uint8_t *, size_t);
    for (size_t r = 0; r < std::size(refused); ++r) {
        const operands o = refused[r];
        for (const distance_fn fn : {vorn_edit_distance_dp, vorn_edit_distance_myers64, vorn_edit_distance})
            add("distance: refused operands " + std::to_string(r),
                [=](outputs &) { return fn(o.a, o.a_len, o.b, o.b_len); }, UINT32_MAX);
        for (int32_t k : {-1, 0, 2, INT32_MAX})
            add("leq: refused operands " + std::to_string(r) + ", k " + std::to_string(k),
                [=](outputs &) { return vorn_edit_distance_leq(o.a, o.a_len, o.b, o.b_len, k); }, -1);
    }
    add("leq: k -1 is an answer", [=](outputs &) { return vorn_edit_distance_leq(a, 4, a, 4, -1); }, 0);
    add("leq: k INT32_MAX", [=](outputs &) { return vorn_edit_distance_leq(a, 4, t, 4, INT32_MAX); }, 1);
    add("leq: 0x7FFFFFFF bytes, k 1, nothing read",
        [=](outputs &) { return vorn_edit_distance_leq(A, 0x7FFFFFFFu, nullptr, 0, 1); }, 0);
    add("leq: 0x7FFFFFFF bytes, k INT32_MAX, nothing read",
        [=](outputs &) { return vorn_edit_distance_leq(A, 0x7FFFFFFFu, nullptr, 0, INT32_MAX); }, 1);

    // Brute force, both record kinds, in the documented order of checks.
    struct batch_args {
        const char *what;
        const uint8_t *const *q;
        const size_t *l;
        size_t n;
        const uint8_t *const *r;
        const size_t *rlens;
        size_t nrefs;
        int32_t k;
        int64_t want;
    };
    const batch_args brute[] = {
        {"k -1", qp, ql, N, rp, rl, nr, -1, -1},
        {"k -1, no queries", nullptr, nullptr, 0, rp, rl, nr, -1, -1},
        {"queries null", nullptr, ql, N, rp, rl, nr, 1, -1},
        {"query_lens null", qp, nullptr, N, rp, rl, nr, 1, -1},
        {"refs null", qp, ql, N, nullptr, rl, nr, 1, -1},
        {"ref_lens null", qp, ql, N, rp, nullptr, nr, 1, -1},
        {"no queries, refs null", nullptr, nullptr, 0, nullptr, rl, nr, 1, -1},
        {"too many references", qp, ql, N, rp, rl, size_t{0x80000000u}, 1, -1},
        // No queries are answered before the count is looked at.
        {"too many references, no queries", nullptr, nullptr, 0, rp, rl, size_t{0x80000000u}, 1, 0},
        {"SIZE_MAX references, no queries", nullptr, nullptr, 0, rp, rl, SIZE_MAX, 1, 0},
        {"too many references, no queries, refs null", nullptr, nullptr, 0, nullptr, rl,
         size_t{0x80000000u}, 1, -1},
        {"no queries", nullptr, nullptr, 0, rp, rl, nr, 1, 0},
    };
    for (const batch_args &c : brute) {
        add(std::string("match_many: ") + c.what,
            [=](outputs &o) { return vorn_match_many(c.q, c.l, c.n, c.r, c.rlens, c.nrefs, c.k, o.m); }, c.want);
        add(std::string("assign_many: ") + c.what,
            [=](outputs &o) { return vorn_assign_many(c.q, c.l, c.n, c.r, c.rlens, c.nrefs, c.k, 0, o.a); }, c.want);
    }
    add("match_many: out null", [=](outputs &) { return vorn_match_many(qp, ql, N, rp, rl, nr, 1, nullptr); }, -1);
    add("assign_many: out null", [=](outputs &) { return vorn_assign_many(qp, ql, N, rp, rl, nr, 1, 0, nullptr); }, -1);
    for (uint32_t single : {2u, UINT32_MAX}) {
        add("assign_many: single-hit flag " + std::to_string(single),
            [=](outputs &o) { return vorn_assign_many(qp, ql, N, rp, rl, nr, 1, single, o.a); }, -1);
        add("assign_many: single-hit flag " + std::to_string(single) + ", no queries",
            [=](outputs &o) { return vorn_assign_many(nullptr, nullptr, 0, nullptr, nullptr, 0, 1, single, o.a); }, -1);
    }
    add("match_many: no references, arrays null",
        [=](outputs &o) { return vorn_match_many(qp, ql, N, nullptr, nullptr, 0, 1, o.m); }, 0,
        [](const outputs &o) {
            for (const auto &m : o.m) EXPECT_EQ(m, oracle::match_none());
        });
    add("match_many: k INT32_MAX, every reference a hit",
        [=](outputs &o) { return vorn_match_many(qp, ql, N, rp, rl, nr, INT32_MAX, o.m); }, 0,
        [nr](const outputs &o) {
            for (const auto &m : o.m) EXPECT_EQ(m.hit_count, nr);
        });
    const size_t big = 0x80000000u;
    add("match_many: query of 0x80000000 bytes, nothing read",
        [=](outputs &o) { return vorn_match_many(&A, &big, 1, rp, rl, nr, 1, o.m); }, 0,
        [](const outputs &o) { EXPECT_EQ(o.m[0], oracle::match_none()); });

    // Index build.
    const auto builds = [](const uint8_t *const *r, const size_t *l, size_t n, uint32_t flags = 0) {
        vorn_index *index = vorn_index_build_opts(r, l, n, flags);
        vorn_index_free(index);
        return int64_t{index != nullptr};
    };
    add("build: refs null", [=](outputs &) { return builds(nullptr, rl, nr); }, 0);
    add("build: ref_lens null", [=](outputs &) { return builds(rp, nullptr, nr); }, 0);
    add("build: no references, arrays null", [=](outputs &) { return builds(nullptr, nullptr, 0); }, 1);
    add("build: more references than 32-bit positions", [=](outputs &) { return builds(rp, rl, big); }, 0);
    add("build: count SIZE_MAX", [=](outputs &) { return builds(rp, rl, SIZE_MAX); }, 0);
    const size_t wraps = SIZE_MAX;
    add("build: a length whose copy size wraps", [=](outputs &) { return builds(&A, &wraps, 1); }, 0);
    for (uint32_t flags : {4u, 7u, 0x80000000u})
        add("build: unknown flags " + std::to_string(flags), [=](outputs &) { return builds(rp, rl, nr, flags); }, 0);
    const auto block_builds = [](const char *r, size_t len, size_t n, uint32_t flags = 0) {
        vorn_index *index = vorn_index_build_block(reinterpret_cast<const uint8_t *>(r), len, n, flags);
        vorn_index_free(index);
        return int64_t{index != nullptr};
    };
    add("block build: null block", [=](outputs &) { return block_builds(nullptr, 4, 2); }, 0);
    add("block build: null block of empty references", [=](outputs &) { return block_builds(nullptr, 0, 3); }, 1);
    add("block build: no references", [=](outputs &) { return block_builds(nullptr, 4, 0); }, 1);
    add("block build: size wraps", [=](outputs &) { return block_builds("ACGT", SIZE_MAX / 2, 3); }, 0);
    add("block build: more references than 32-bit positions",
        [=](outputs &) { return block_builds("", 0, big); }, 0);
    add("block build: unknown flags", [=](outputs &) { return block_builds("ACGT", 4, 1, 4); }, 0);
    for (size_t at = 0; at < N; ++at)
        add("build: null reference at " + std::to_string(at), [=, &f](outputs &) {
            holed h(f, at);
            return builds(h.p, h.l, N);
        }, 0);
    add("free: null", [](outputs &) { vorn_index_free(nullptr); return int64_t{0}; }, 0);

    // Exact lookup of one query.
    using single_fn = int32_t (*)(const vorn_index *, const uint8_t *, size_t, vorn_match *, vorn_stats *);
    for (const single_fn fn : {vorn_index_lookup_exact_stats, vorn_index_lookup_exact_ascii_stats}) {
        add("exact one: index null", [=](outputs &o) { return fn(nullptr, a, 4, o.m, &o.st); }, -1);
        add("exact one: result null", [=](outputs &o) { return fn(ix, a, 4, nullptr, &o.st); }, -1);
        for (size_t len : {1, 3})
            add("exact one: null query, length " + std::to_string(len),
                [=](outputs &o) { return fn(ix, nullptr, len, o.m, &o.st); }, 0, [](const outputs &o) {
                    EXPECT_EQ(o.m[0], oracle::match_invalid());
                    EXPECT_EQ(o.st, (vorn_stats{0, 0}));
                });
        add("exact one: null query, length 0, is the empty query",
            [=](outputs &o) { return fn(ix, nullptr, 0, o.m, &o.st); }, 0, [=](const outputs &o) {
                vorn_match want;
                vorn_stats st;
                ASSERT_EQ(fn(ix, a, 0, &want, &st), 0);
                EXPECT_EQ(o.m[0], want);
                EXPECT_EQ(o.st, st);
            });
        add("exact one: empty index", [=](outputs &o) { return fn(empty, a, 4, o.m, &o.st); }, 0,
            [](const outputs &o) {
                EXPECT_EQ(o.m[0], oracle::match_none());
                EXPECT_EQ(o.st, (vorn_stats{0, 0}));
            });
        for (size_t len : {size_t{0x7FFFFFFFu}, big, SIZE_MAX})
            add("exact one: query of " + std::to_string(len) + " bytes, nothing read",
                [=](outputs &o) { return fn(ix, A, len, o.m, &o.st); }, 0,
                [](const outputs &o) { EXPECT_EQ(o.m[0], oracle::match_none()); });
    }

    // Batch lookups and assignments: the exact lookups (k plays no part),
    // the three edit forms and the Hamming form.
    using batch_fn = std::function<int32_t(const vorn_index *, const uint8_t *const *, const size_t *, size_t,
                                           int32_t, vorn_match *, vorn_stats *)>;
    struct form {
        std::string name;
        batch_fn fn;
        bool takes_k, counts, hamming;
    };
    const auto exact = [](auto fn) {
        return [fn](const vorn_index *i, const uint8_t *const *q, const size_t *l, size_t n, int32_t,
                    vorn_match *r, vorn_stats *s) { return fn(i, q, l, n, r, s); };
    };
    const form forms[] = {
        {"exact many", exact(vorn_index_lookup_exact_many_stats), false, true, false},
        {"exact ascii many", exact(vorn_index_lookup_exact_ascii_many_stats), false, true, false},
        {"assign", [](const vorn_index *i, const uint8_t *const *q, const size_t *l, size_t n, int32_t k,
                      vorn_match *r, vorn_stats *) { return vorn_index_assign(i, q, l, n, k, r); }, true, false, false},
        {"assign_stats", vorn_index_assign_stats, true, true, false},
        {"assign_status_stats", vorn_index_assign_status_stats, true, true, false},
        {"hamming", vorn_index_assign_hamming_stats, true, true, true},
    };
    for (const form &fm : forms) {
        const batch_fn fn = fm.fn;
        const std::string n = fm.name;
        add(n + ": index null", [=](outputs &o) { return fn(nullptr, qp, ql, N, 1, o.m, &o.st); }, -1);
        add(n + ": index null, no queries", [=](outputs &o) { return fn(nullptr, nullptr, nullptr, 0, 1, o.m, &o.st); }, -1);
        add(n + ": results null", [=](outputs &o) { return fn(ix, qp, ql, N, 1, nullptr, &o.st); }, -1);
        add(n + ": queries null", [=](outputs &o) { return fn(ix, nullptr, ql, N, 1, o.m, &o.st); }, -1);
        add(n + ": query_lens null", [=](outputs &o) { return fn(ix, qp, nullptr, N, 1, o.m, &o.st); }, -1);
        // The exact lookups need no result array for an empty batch; the
        // assignments always do.
        add(n + ": no queries, arrays null",
            [=](outputs &o) { return fn(ix, nullptr, nullptr, 0, 1, fm.takes_k ? o.m : nullptr, &o.st); },
            0, [=](const outputs &o) {
                EXPECT_TRUE(o.untouched_but_stats());
                EXPECT_TRUE(fm.counts ? o.st == (vorn_stats{0, 0}) : outputs::pristine(&o.st, sizeof o.st));
            });
        if (fm.takes_k) {
            add(n + ": results null, no queries", [=](outputs &o) { return fn(ix, qp, ql, 0, 1, nullptr, &o.st); }, -1);
            for (int32_t k : {-1, INT32_MIN}) {
                add(n + ": k " + std::to_string(k), [=](outputs &o) { return fn(ix, qp, ql, N, k, o.m, &o.st); }, -1);
                add(n + ": k " + std::to_string(k) + ", no queries",
                    [=](outputs &o) { return fn(ix, nullptr, nullptr, 0, k, o.m, &o.st); }, -1);
            }
        }
        if (fm.hamming) {
            for (int32_t k : {4, INT32_MAX})
                add(n + ": k " + std::to_string(k), [=](outputs &o) { return fn(ix, qp, ql, N, k, o.m, &o.st); }, -1);
        } else if (fm.takes_k) {
            add(n + ": k INT32_MAX, every reference a hit",
                [=](outputs &o) { return fn(ix, qp, ql, N, INT32_MAX, o.m, &o.st); }, 0, [nr](const outputs &o) {
                    for (const auto &m : o.m) EXPECT_EQ(m.hit_count, nr);
                });
        }
        for (int32_t k = 0; k <= (fm.hamming ? 3 : fm.takes_k ? 1 : 0); ++k)
            for (size_t len : {size_t{0x7FFFFFFFu}, big, SIZE_MAX})
                add(n + ": query of " + std::to_string(len) + " bytes, nothing read, k " + std::to_string(k),
                    [=](outputs &o) { return fn(ix, &A, &len, 1, k, o.m, &o.st); }, 0,
                    [](const outputs &o) { EXPECT_EQ(o.m[0], oracle::match_none()); });
    }

    // Hit listing.
    const auto hits = [=](outputs &o, const vorn_index *index, const uint8_t *q, size_t len, uint32_t metric,
                          int32_t k, bool null_hits, size_t cap, bool null_n) {
        return int64_t{vorn_index_hits(index, q, len, metric, k, null_hits ? nullptr : o.h, cap, null_n ? nullptr : &o.n)};
    };
    add("hits: index null", [=](outputs &o) { return hits(o, nullptr, a, 4, VORN_METRIC_EDIT, 1, false, 2, false); }, -1);
    add("hits: n_hits null", [=](outputs &o) { return hits(o, ix, a, 4, VORN_METRIC_EDIT, 1, false, 2, true); }, -1);
    add("hits: query null, length 4", [=](outputs &o) { return hits(o, ix, nullptr, 4, VORN_METRIC_EDIT, 1, false, 2, false); }, -1);
    add("hits: buffer null, capacity 2", [=](outputs &o) { return hits(o, ix, a, 4, VORN_METRIC_EDIT, 1, true, 2, false); }, -1);
    add("hits: metric 2", [=](outputs &o) { return hits(o, ix, a, 4, 2, 1, false, 2, false); }, -1);
    add("hits: edit k -1", [=](outputs &o) { return hits(o, ix, a, 4, VORN_METRIC_EDIT, -1, false, 2, false); }, -1);
    add("hits: Hamming k 4", [=](outputs &o) { return hits(o, ix, a, 4, VORN_METRIC_HAMMING, 4, false, 2, false); }, -1);
    add("hits: Hamming k -1", [=](outputs &o) { return hits(o, ix, a, 4, VORN_METRIC_HAMMING, -1, false, 2, false); }, -1);
    add("hits: capacity 0, buffer null", [=](outputs &o) { return hits(o, ix, a, 4, VORN_METRIC_EDIT, 1, true, 0, false); }, 0,
        [](const outputs &o) {
            EXPECT_EQ(o.n, 2u);  // ACGT and ACGA within one edit
            EXPECT_TRUE(outputs::pristine(o.h, sizeof o.h));
        });

    // One read's decision: each bad field alone is refused.
    const std::vector<uint64_t> counts(nr, 1);
    struct rescue_call {
        const vorn_index *index;
        const uint8_t *read;
        const uint64_t *counts;
        size_t n_counts;
        vorn_rescue_params p;
        bool null_params, null_hits, null_n, null_result;
    };
    const std::pair<const char *, std::function<void(rescue_call &)>> spoils[] = {
        {"index null", [](rescue_call &c) { c.index = nullptr; }},
        {"read null", [](rescue_call &c) { c.read = nullptr; }},
        {"params null", [](rescue_call &c) { c.null_params = true; }},
        {"hits null", [](rescue_call &c) { c.null_hits = true; }},
        {"n_hits null", [](rescue_call &c) { c.null_n = true; }},
        {"result null", [](rescue_call &c) { c.null_result = true; }},
        {"metric 2", [](rescue_call &c) { c.p.metric = 2; }},
        {"k -1", [](rescue_call &c) { c.p.k = -1; }},
        {"Hamming k 4", [](rescue_call &c) { c.p.metric = VORN_METRIC_HAMMING, c.p.k = 4; }},
        {"fixed_window 2", [](rescue_call &c) { c.p.fixed_window = 2; }},
        {"rescue 2", [](rescue_call &c) { c.p.rescue = 2; }},
        {"counts null", [](rescue_call &c) { c.counts = nullptr; }},
        {"counts short", [](rescue_call &c) { c.n_counts = 1; }},
        {"pseudocount -1", [](rescue_call &c) { c.p.prior_pseudocount = -1; }},
        {"indel weight NaN", [](rescue_call &c) { c.p.indel_weight = NAN; }},
        {"indel weight infinite", [](rescue_call &c) { c.p.indel_weight = INFINITY; }},
        {"min posterior 1.5", [](rescue_call &c) { c.p.min_posterior = 1.5; }},
        {"min posterior -0.1", [](rescue_call &c) { c.p.min_posterior = -0.1; }},
    };
    // The counting form refuses alike and leaves the caller's counters alone.
    for (const bool counted : {false, true})
        for (const auto &[what, spoil] : spoils)
            add(std::string(counted ? "rescue_read_stats: " : "rescue_read: ") + what, [=](outputs &o) {
                rescue_call c{ix, a, counts.data(), counts.size(), {}, false, false, false, false};
                vorn_rescue_params_default(&c.p);
                spoil(c);
                const vorn_rescue_params *params = c.null_params ? nullptr : &c.p;
                vorn_hit *hits = c.null_hits ? nullptr : o.h;
                size_t *n = c.null_n ? nullptr : &o.n;
                vorn_rescue_result *res = c.null_result ? nullptr : &o.r;
                vorn_stats st{77, 77};
                const int32_t rc =
                    counted ? vorn_rescue_read_stats(c.index, c.read, nullptr, 4, 4, c.counts, c.n_counts, params,
                                                     hits, 2, n, res, &st)
                            : vorn_rescue_read(c.index, c.read, nullptr, 4, 4, c.counts, c.n_counts, params, hits, 2,
                                               n, res);
                EXPECT_EQ(st, (vorn_stats{77, 77})) << what;
                return int64_t{rc};
            }, -1);
    add("rescue_read: the distance rule needs no counts", [=](outputs &o) {
        vorn_rescue_params p;
        vorn_rescue_params_default(&p);
        p.rescue = 0;
        return int64_t{vorn_rescue_read(ix, a, nullptr, 4, 4, nullptr, 0, &p, nullptr, 0, &o.n, &o.r)};
    }, 0, [](const outputs &o) { EXPECT_EQ(o.r.status, VORN_STATUS_UNIQUE); });
    vorn_rescue_params_default(nullptr);  // ignored
    return rows;
}

TEST(BadInput, EveryEntryPointReturnsItsDocumentedValueAndWritesNothingWhenRejected) {
    const fixture f;
    ASSERT_NE(f.index.index, nullptr);
    ASSERT_NE(f.empty.index, nullptr);
    for (const auto &r : bad_input_rows(f)) {
        SCOPED_TRACE(r.name);
        outputs o;
        int64_t got = 0;
        const auto c = velmora_test::alloc_measure([&] { got = r.call(o); });
        EXPECT_EQ(c.live, 0);
        EXPECT_EQ(got, r.want);
        if (r.check) {
            r.check(o);
        } else {
            EXPECT_TRUE(o.untouched());
        }
    }
}

}  // namespace
