// Every entry point fed the bad arguments a caller can make.  Outputs start
// filled with a pattern: a rejected call must return its documented value and
// leave results and counters exactly as they were; an accepted call with a
// bad query must mark that query alone.  Huge claimed lengths are paired with
// one-byte buffers where the contract says nothing is read, so a read would
// show as a sanitizer error.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "oracle.h"
#include "support/alloc_hooks.h"
#include "test_util.h"
#include "velmora.h"

namespace {

constexpr uint8_t PATTERN = 0xA5;
constexpr size_t N = 3;

// The outputs a call may write, prefilled with PATTERN.
struct outputs {
    vorn_match m[N];
    vorn_assignment a[N];
    vorn_stats st;
    vorn_hit h[2];
    size_t n;
    vorn_rescue_result r;
    outputs() {
        std::memset(m, PATTERN, sizeof m);
        std::memset(a, PATTERN, sizeof a);
        std::memset(&st, PATTERN, sizeof st);
        std::memset(h, PATTERN, sizeof h);
        std::memset(&n, PATTERN, sizeof n);
        std::memset(&r, PATTERN, sizeof r);
    }
    static bool pristine(const void *p, size_t n) {
        const auto *b = static_cast<const uint8_t *>(p);
        for (size_t i = 0; i < n; ++i)
            if (b[i] != PATTERN) return false;
        return true;
    }
    bool records_untouched() const {
        return pristine(m, sizeof m) && pristine(a, sizeof a) && pristine(h, sizeof h) &&
               pristine(&n, sizeof n) && pristine(&r, sizeof r);
    }
    bool stats_untouched() const { return pristine(&st, sizeof st); }
};

// What an accepted call must have left behind.
enum class effect {
    untouched,       // nothing written at all (rejected call, or nothing to do)
    stats_zeroed,    // no record written, counters zeroed
    custom,          // checked by the row's own predicate
};

struct row {
    std::string name;
    std::function<int64_t(outputs &)> call;
    int64_t want;
    effect what;
    std::function<void(const outputs &)> check = nullptr;
};

// Fixtures every row can use: sequences in exact-length blocks, an index of
// a few references, an index of none.
struct fixture {
    std::vector<std::string> ref_s = {"ACGT", "ACGA", "NNNN", "ACGTACGTAC"};
    velmora_test::seq_batch refs{velmora_test::as_seqs(ref_s)};
    velmora_test::seq_batch one{velmora_test::as_seqs({"A"})};  // a single byte
    velmora_test::seq_batch queries{velmora_test::as_seqs({"ACGT", "ACGA", "TTTT"})};
    vorn_index *index = nullptr;
    vorn_index *empty = nullptr;
    fixture() {
        index = vorn_index_build(refs.ptrs(), refs.lens(), refs.size());
        empty = vorn_index_build(nullptr, nullptr, 0);
    }
    ~fixture() {
        vorn_index_free(index);
        vorn_index_free(empty);
    }
    const uint8_t *A() const { return one.ptrs()[0]; }
    const uint8_t *seq(size_t i) const { return queries.ptrs()[i]; }
};

// The record brute force gives query i of fixture.queries, edit distance or
// Hamming.
vorn_match expected(const fixture &f, size_t i, int32_t k, bool hamming = false) {
    const oracle::seq q{f.queries.size() > i ? std::string(reinterpret_cast<const char *>(f.seq(i)),
                                                           f.queries.lens()[i])
                                             : std::string()};
    const auto refs = velmora_test::as_seqs(f.ref_s);
    return hamming ? oracle::hamming_record(q, refs, static_cast<uint32_t>(k))
                   : oracle::edit_record(q, refs, static_cast<uint32_t>(k));
}

// Query arrays with a null sequence of nonzero length at position `at`.
struct holed {
    const uint8_t *p[N];
    size_t l[N];
    holed(const fixture &f, size_t at) {
        for (size_t i = 0; i < N; ++i) {
            p[i] = f.seq(i);
            l[i] = f.queries.lens()[i];
        }
        p[at] = nullptr;
        l[at] = 3;
    }
};

std::vector<row> bad_input_rows(const fixture &f) {
    const uint8_t *a = f.seq(0);  // "ACGT"
    const uint8_t *A = f.A();     // one byte
    const auto *qp = f.queries.ptrs();
    const auto *ql = f.queries.lens();
    const auto *rp = f.refs.ptrs();
    const auto *rl = f.refs.lens();
    const size_t nr = f.refs.size();
    const size_t huge[] = {0x7FFFFFFFu, 0x80000000u, SIZE_MAX};
    std::vector<row> rows;
    const auto add = [&](std::string name, std::function<int64_t(outputs &)> call, int64_t want,
                         effect what = effect::untouched,
                         std::function<void(const outputs &)> check = nullptr) {
        rows.push_back({std::move(name), std::move(call), want, what, std::move(check)});
    };

    // Pairwise distances.
    add("dp: a null, length 4", [=](outputs &) { return vorn_edit_distance_dp(nullptr, 4, a, 4); }, UINT32_MAX);
    add("dp: b null, length 4", [=](outputs &) { return vorn_edit_distance_dp(a, 4, nullptr, 4); }, UINT32_MAX);
    add("myers64: a null, length 1", [=](outputs &) { return vorn_edit_distance_myers64(nullptr, 1, a, 4); }, UINT32_MAX);
    add("myers64: b null, length 2", [=](outputs &) { return vorn_edit_distance_myers64(a, 4, nullptr, 2); }, UINT32_MAX);
    add("distance: a null, length 3", [=](outputs &) { return vorn_edit_distance(nullptr, 3, a, 4); }, UINT32_MAX);
    add("distance: b null, SIZE_MAX", [=](outputs &) { return vorn_edit_distance(a, 4, nullptr, SIZE_MAX); }, UINT32_MAX);
    // Past 0x7FFFFFFF bytes a distance may not fit the 32-bit result: rejected.
    add("distance: 0x80000000 against empty, nothing read",
        [=](outputs &) { return vorn_edit_distance(A, 0x80000000u, nullptr, 0); }, UINT32_MAX);
    add("myers64: text of 0x80000000 bytes, nothing read",
        [=](outputs &) { return vorn_edit_distance_myers64(a, 4, A, 0x80000000u); }, UINT32_MAX);
    for (size_t len : {size_t{0x80000000u}, SIZE_MAX}) {
        const std::string l = std::to_string(len);
        add("dp: a length " + l, [=](outputs &) { return vorn_edit_distance_dp(A, len, a, 4); }, UINT32_MAX);
        add("dp: b length " + l, [=](outputs &) { return vorn_edit_distance_dp(a, 4, A, len); }, UINT32_MAX);
        add("myers64: pattern length " + l,
            [=](outputs &) { return vorn_edit_distance_myers64(A, len, a, 4); }, UINT32_MAX);
        add("leq: a length " + l, [=](outputs &) { return vorn_edit_distance_leq(A, len, a, 4, 2); }, -1);
        add("leq: b length " + l, [=](outputs &) { return vorn_edit_distance_leq(a, 4, A, len, 2); }, -1);
    }
    for (int32_t k : {-1, 0, INT32_MAX}) {
        const std::string ks = std::to_string(k);
        add("leq: a null, k " + ks, [=](outputs &) { return vorn_edit_distance_leq(nullptr, 4, a, 4, k); }, -1);
        add("leq: b null, k " + ks, [=](outputs &) { return vorn_edit_distance_leq(a, 4, nullptr, 1, k); }, -1);
    }
    add("leq: k -1 is an answer", [=](outputs &) { return vorn_edit_distance_leq(a, 4, a, 4, -1); }, 0);
    const uint8_t *t = f.seq(2);  // "TTTT"
    add("leq: k INT32_MAX", [=](outputs &) { return vorn_edit_distance_leq(a, 4, t, 4, INT32_MAX); }, 1);
    add("leq: 0x7FFFFFFF bytes, k 1, nothing read",
        [=](outputs &) { return vorn_edit_distance_leq(A, 0x7FFFFFFFu, nullptr, 0, 1); }, 0);
    add("leq: 0x7FFFFFFF bytes, k INT32_MAX, nothing read",
        [=](outputs &) { return vorn_edit_distance_leq(A, 0x7FFFFFFFu, nullptr, 0, INT32_MAX); }, 1);

    // Brute force, both record kinds.
    const auto match = [=](outputs &o, const uint8_t *const *q, const size_t *l, size_t n,
                           const uint8_t *const *r, const size_t *rlens, size_t nrefs, int32_t k) {
        return int64_t{vorn_match_many(q, l, n, r, rlens, nrefs, k, o.m)};
    };
    const auto assign = [=](outputs &o, const uint8_t *const *q, const size_t *l, size_t n,
                            const uint8_t *const *r, const size_t *rlens, size_t nrefs, int32_t k,
                            uint32_t single) {
        return int64_t{vorn_assign_many(q, l, n, r, rlens, nrefs, k, single, o.a)};
    };
    add("match_many: out null", [=](outputs &) { return vorn_match_many(qp, ql, N, rp, rl, nr, 1, nullptr); }, -1);
    add("match_many: k -1", [=](outputs &o) { return match(o, qp, ql, N, rp, rl, nr, -1); }, -1);
    add("match_many: k -1, no queries", [=](outputs &o) { return match(o, nullptr, nullptr, 0, rp, rl, nr, -1); }, -1);
    add("match_many: queries null", [=](outputs &o) { return match(o, nullptr, ql, N, rp, rl, nr, 1); }, -1);
    add("match_many: query_lens null", [=](outputs &o) { return match(o, qp, nullptr, N, rp, rl, nr, 1); }, -1);
    add("match_many: refs null", [=](outputs &o) { return match(o, qp, ql, N, nullptr, rl, nr, 1); }, -1);
    add("match_many: ref_lens null", [=](outputs &o) { return match(o, qp, ql, N, rp, nullptr, nr, 1); }, -1);
    add("match_many: no queries, refs null", [=](outputs &o) { return match(o, nullptr, nullptr, 0, nullptr, rl, nr, 1); }, -1);
    add("match_many: no queries", [=](outputs &o) { return match(o, nullptr, nullptr, 0, rp, rl, nr, 1); }, 0);
    add("assign_many: require_single_hit 2", [=](outputs &o) { return assign(o, qp, ql, N, rp, rl, nr, 1, 2); }, -1);
    add("assign_many: require_single_hit 2, no queries",
        [=](outputs &o) { return assign(o, nullptr, nullptr, 0, nullptr, nullptr, 0, 1, 2); }, -1);
    add("assign_many: require_single_hit UINT32_MAX", [=](outputs &o) { return assign(o, qp, ql, N, rp, rl, nr, 1, UINT32_MAX); }, -1);
    add("assign_many: out null", [=](outputs &) { return vorn_assign_many(qp, ql, N, rp, rl, nr, 1, 0, nullptr); }, -1);
    add("assign_many: k -1", [=](outputs &o) { return assign(o, qp, ql, N, rp, rl, nr, -1, 0); }, -1);
    add("assign_many: queries null", [=](outputs &o) { return assign(o, nullptr, ql, N, rp, rl, nr, 1, 0); }, -1);
    add("assign_many: query_lens null", [=](outputs &o) { return assign(o, qp, nullptr, N, rp, rl, nr, 1, 0); }, -1);
    add("assign_many: refs null", [=](outputs &o) { return assign(o, qp, ql, N, nullptr, rl, nr, 1, 0); }, -1);
    add("assign_many: ref_lens null", [=](outputs &o) { return assign(o, qp, ql, N, rp, nullptr, nr, 1, 0); }, -1);
    add("match_many: no references, arrays null",
        [=](outputs &o) { return match(o, qp, ql, N, nullptr, nullptr, 0, 1); }, 0, effect::custom,
        [](const outputs &o) {
            for (const auto &m : o.m) EXPECT_EQ(m, oracle::match_none());
        });
    add("match_many: k INT32_MAX, every reference a hit",
        [=](outputs &o) { return match(o, qp, ql, N, rp, rl, nr, INT32_MAX); }, 0, effect::custom,
        [nr](const outputs &o) {
            for (const auto &m : o.m) EXPECT_EQ(m.hit_count, nr);
        });
    add("match_many: query of 0x80000000 bytes, k 1, nothing read",
        [=](outputs &o) {
            const size_t len = 0x80000000u;
            return match(o, &A, &len, 1, rp, rl, nr, 1);
        },
        0, effect::custom, [](const outputs &o) { EXPECT_EQ(o.m[0], oracle::match_none()); });
    for (size_t at = 0; at < N; ++at) {
        const std::string pos = std::to_string(at);
        add("match_many: null query at " + pos,
            [=, &f](outputs &o) {
                holed h(f, at);
                return match(o, h.p, h.l, N, rp, rl, nr, 1);
            },
            0, effect::custom, [=, &f](const outputs &o) {
                for (size_t i = 0; i < N; ++i)
                    EXPECT_EQ(o.m[i], i == at ? oracle::match_invalid() : expected(f, i, 1)) << i;
            });
        add("assign_many: null query at " + pos,
            [=, &f](outputs &o) {
                holed h(f, at);
                return assign(o, h.p, h.l, N, rp, rl, nr, 1, 1);
            },
            0, effect::custom, [=](const outputs &o) {
                EXPECT_EQ(o.a[at].status, VORN_STATUS_INVALID);
                EXPECT_EQ(o.a[at].edit_class, VORN_EDIT_INVALID);
                EXPECT_EQ(o.a[at].hit_count, 0u);
                EXPECT_EQ(o.a[at].best_index, UINT32_MAX);
                for (size_t i = 0; i < N; ++i) {
                    if (i != at) {
                        EXPECT_NE(o.a[i].status, VORN_STATUS_INVALID);
                    }
                }
            });
        add("match_many: null reference at " + pos,
            [=, &f](outputs &o) {
                holed h(f, at);  // the holed query list serves as references
                return match(o, qp, ql, N, h.p, h.l, N, 1);
            },
            0, effect::custom, [](const outputs &o) {
                for (const auto &m : o.m) EXPECT_EQ(m, oracle::match_invalid());
            });
    }

    // Index build.
    const auto builds = [](const uint8_t *const *r, const size_t *l, size_t n) {
        vorn_index *index = vorn_index_build(r, l, n);
        const bool built = index != nullptr;
        vorn_index_free(index);
        return int64_t{built};
    };
    add("build: refs null", [=](outputs &) { return builds(nullptr, rl, nr); }, 0);
    add("build: ref_lens null", [=](outputs &) { return builds(rp, nullptr, nr); }, 0);
    add("build: no references, arrays null", [=](outputs &) { return builds(nullptr, nullptr, 0); }, 1);
    for (size_t at = 0; at < N; ++at)
        add("build: null reference at " + std::to_string(at), [=, &f](outputs &) {
            holed h(f, at);
            return builds(h.p, h.l, N);
        }, 0);
    add("build: more references than 32-bit positions, nothing read",
        [=](outputs &) { return builds(rp, rl, size_t{0x80000000}); }, 0);
    add("build: count SIZE_MAX, nothing read", [=](outputs &) { return builds(rp, rl, SIZE_MAX); }, 0);
    add("build: a length whose copy size wraps", [=](outputs &) {
        const size_t len = SIZE_MAX;
        return builds(&A, &len, 1);
    }, 0);
    for (uint32_t flags : {4u, 7u, 0x80000000u})
        add("build_opts: unknown flags " + std::to_string(flags), [=](outputs &) {
            vorn_index *index = vorn_index_build_opts(rp, rl, nr, flags);
            vorn_index_free(index);
            return int64_t{index != nullptr};
        }, 0);
    add("free: null", [](outputs &) { vorn_index_free(nullptr); return int64_t{0}; }, 0);

    // Hit listing: n_hits and the buffer keep their fill when refused.
    const auto hits = [=, &f](outputs &o, const vorn_index *ix, const uint8_t *q, size_t len,
                              uint32_t metric, int32_t k, bool null_hits, size_t cap, bool null_n) {
        return int64_t{vorn_index_hits(ix, q, len, metric, k, null_hits ? nullptr : o.h, cap,
                                       null_n ? nullptr : &o.n)};
    };
    add("hits: index null", [=](outputs &o) { return hits(o, nullptr, a, 4, VORN_METRIC_EDIT, 1, false, 2, false); }, -1);
    add("hits: n_hits null", [=, &f](outputs &o) { return hits(o, f.index, a, 4, VORN_METRIC_EDIT, 1, false, 2, true); }, -1);
    add("hits: query null, length 4", [=, &f](outputs &o) { return hits(o, f.index, nullptr, 4, VORN_METRIC_EDIT, 1, false, 2, false); }, -1);
    add("hits: buffer null, capacity 2", [=, &f](outputs &o) { return hits(o, f.index, a, 4, VORN_METRIC_EDIT, 1, true, 2, false); }, -1);
    add("hits: metric 2", [=, &f](outputs &o) { return hits(o, f.index, a, 4, 2, 1, false, 2, false); }, -1);
    add("hits: edit k -1", [=, &f](outputs &o) { return hits(o, f.index, a, 4, VORN_METRIC_EDIT, -1, false, 2, false); }, -1);
    add("hits: Hamming k 4", [=, &f](outputs &o) { return hits(o, f.index, a, 4, VORN_METRIC_HAMMING, 4, false, 2, false); }, -1);
    add("hits: capacity 0, buffer null",
        [=, &f](outputs &o) { return hits(o, f.index, a, 4, VORN_METRIC_EDIT, 1, true, 0, false); }, 0,
        effect::custom, [](const outputs &o) {
            EXPECT_EQ(o.n, 2u);  // ACGT and ACGA within one edit
            EXPECT_TRUE(outputs::pristine(o.h, sizeof o.h));
        });

    // One read's decision: each bad field alone is refused, writing nothing.
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
        {"min posterior 1.5", [](rescue_call &c) { c.p.min_posterior = 1.5; }},
    };
    for (const auto &[what, spoil] : spoils)
        add(std::string("rescue_read: ") + what, [=, &f](outputs &o) {
            rescue_call c{f.index, a, counts.data(), counts.size(), {}, false, false, false, false};
            vorn_rescue_params_default(&c.p);
            spoil(c);
            return int64_t{vorn_rescue_read(
                c.index, c.read, nullptr, 4, 4, c.counts, c.n_counts, c.null_params ? nullptr : &c.p,
                c.null_hits ? nullptr : o.h, 2, c.null_n ? nullptr : &o.n,
                c.null_result ? nullptr : &o.r)};
        }, -1);
    add("rescue_read: the distance rule needs no counts", [=, &f](outputs &o) {
        vorn_rescue_params p;
        vorn_rescue_params_default(&p);
        p.rescue = 0;
        size_t n = 0;
        return int64_t{vorn_rescue_read(f.index, a, nullptr, 4, 4, nullptr, 0, &p, nullptr, 0, &n,
                                        &o.r)};
    }, 0, effect::custom, [](const outputs &o) { EXPECT_EQ(o.r.status, VORN_STATUS_UNIQUE); });

    // Exact lookups, single and batch, byte-exact and case-folded.
    using single_fn = int32_t (*)(const vorn_index *, const uint8_t *, size_t, vorn_match *, vorn_stats *);
    using many_fn = int32_t (*)(const vorn_index *, const uint8_t *const *, const size_t *, size_t,
                                vorn_match *, vorn_stats *);
    const std::pair<const char *, single_fn> singles[] = {
        {"exact", vorn_index_lookup_exact_stats}, {"exact ascii", vorn_index_lookup_exact_ascii_stats}};
    const std::pair<const char *, many_fn> manys[] = {
        {"exact many", vorn_index_lookup_exact_many_stats},
        {"exact ascii many", vorn_index_lookup_exact_ascii_many_stats}};
    for (const auto &[name, fn] : singles) {
        const std::string n = name;
        add(n + ": index null", [=](outputs &o) { return fn(nullptr, a, 4, o.m, &o.st); }, -1);
        add(n + ": result null", [=, &f](outputs &o) { return fn(f.index, a, 4, nullptr, &o.st); }, -1);
        add(n + ": null query, length 3", [=, &f](outputs &o) { return fn(f.index, nullptr, 3, o.m, &o.st); }, 0,
            effect::custom, [](const outputs &o) {
                EXPECT_EQ(o.m[0], oracle::match_invalid());
                EXPECT_EQ(o.st, (vorn_stats{0, 0}));
            });
        add(n + ": empty index", [=, &f](outputs &o) { return fn(f.empty, a, 4, o.m, &o.st); }, 0,
            effect::custom, [](const outputs &o) {
                EXPECT_EQ(o.m[0], oracle::match_none());
                EXPECT_EQ(o.st, (vorn_stats{0, 0}));
            });
        for (size_t len : huge)
            add(n + ": query of " + std::to_string(len) + " bytes, nothing read",
                [=, &f](outputs &o) { return fn(f.index, A, len, o.m, &o.st); }, 0, effect::custom,
                [](const outputs &o) { EXPECT_EQ(o.m[0], oracle::match_none()); });
    }
    for (const auto &[name, fn] : manys) {
        const std::string n = name;
        add(n + ": index null", [=](outputs &o) { return fn(nullptr, qp, ql, N, o.m, &o.st); }, -1);
        add(n + ": index null, no queries", [=](outputs &o) { return fn(nullptr, nullptr, nullptr, 0, o.m, &o.st); }, -1);
        add(n + ": queries null", [=, &f](outputs &o) { return fn(f.index, nullptr, ql, N, o.m, &o.st); }, -1);
        add(n + ": query_lens null", [=, &f](outputs &o) { return fn(f.index, qp, nullptr, N, o.m, &o.st); }, -1);
        add(n + ": results null", [=, &f](outputs &o) { return fn(f.index, qp, ql, N, nullptr, &o.st); }, -1);
        add(n + ": no queries, arrays null", [=, &f](outputs &o) { return fn(f.index, nullptr, nullptr, 0, nullptr, &o.st); },
            0, effect::stats_zeroed);
        add(n + ": empty index",
            [=, &f](outputs &o) {
                holed h(f, 2);
                return fn(f.empty, h.p, h.l, N, o.m, &o.st);
            },
            0, effect::custom, [](const outputs &o) {
                EXPECT_EQ(o.m[0], oracle::match_none());
                EXPECT_EQ(o.m[1], oracle::match_none());
                EXPECT_EQ(o.m[2], oracle::match_invalid());
                EXPECT_EQ(o.st, (vorn_stats{0, 0}));
            });
        for (size_t at = 0; at < N; ++at)
            add(n + ": null query at " + std::to_string(at),
                [=, &f](outputs &o) {
                    holed h(f, at);
                    return fn(f.index, h.p, h.l, N, o.m, &o.st);
                },
                0, effect::custom, [=, &f](const outputs &o) {
                    for (size_t i = 0; i < N; ++i)
                        EXPECT_EQ(o.m[i], i == at ? oracle::match_invalid() : expected(f, i, 0)) << i;
                });
    }

    // Edit assignment: the plain, counting and status-only forms.
    using assign_fn = std::function<int32_t(const vorn_index *, const uint8_t *const *, const size_t *,
                                            size_t, int32_t, vorn_match *, vorn_stats *)>;
    const std::pair<const char *, assign_fn> forms[] = {
        {"assign", [](const vorn_index *i, const uint8_t *const *q, const size_t *l, size_t n,
                      int32_t k, vorn_match *r, vorn_stats *) { return vorn_index_assign(i, q, l, n, k, r); }},
        {"assign_stats", vorn_index_assign_stats},
        {"assign_status_stats", vorn_index_assign_status_stats},
        {"hamming", vorn_index_assign_hamming_stats},
    };
    for (const auto &[name, fn] : forms) {
        const std::string n = name;
        const bool hamming = n == "hamming";
        const bool counts = n != "assign";
        add(n + ": k -1", [=, &f](outputs &o) { return fn(f.index, qp, ql, N, -1, o.m, &o.st); }, -1);
        add(n + ": k -1, no queries", [=, &f](outputs &o) { return fn(f.index, nullptr, nullptr, 0, -1, o.m, &o.st); }, -1);
        add(n + ": index null", [=](outputs &o) { return fn(nullptr, qp, ql, N, 1, o.m, &o.st); }, -1);
        add(n + ": index null, no queries", [=](outputs &o) { return fn(nullptr, nullptr, nullptr, 0, 1, o.m, &o.st); }, -1);
        add(n + ": results null", [=, &f](outputs &o) { return fn(f.index, qp, ql, N, 1, nullptr, &o.st); }, -1);
        add(n + ": queries null", [=, &f](outputs &o) { return fn(f.index, nullptr, ql, N, 1, o.m, &o.st); }, -1);
        add(n + ": query_lens null", [=, &f](outputs &o) { return fn(f.index, qp, nullptr, N, 1, o.m, &o.st); }, -1);
        add(n + ": no queries, arrays null", [=, &f](outputs &o) { return fn(f.index, nullptr, nullptr, 0, 1, o.m, &o.st); },
            0, counts ? effect::stats_zeroed : effect::untouched);
        if (hamming) {
            for (int32_t k : {4, INT32_MAX, INT32_MIN})
                add(n + ": k " + std::to_string(k), [=, &f](outputs &o) { return fn(f.index, qp, ql, N, k, o.m, &o.st); }, -1);
        } else {
            add(n + ": k INT32_MAX, every reference a hit",
                [=, &f](outputs &o) { return fn(f.index, qp, ql, N, INT32_MAX, o.m, &o.st); }, 0,
                effect::custom, [nr](const outputs &o) {
                    for (const auto &m : o.m) EXPECT_EQ(m.hit_count, nr);
                });
        }
        for (int32_t k : {0, 1, 2, 3, 5}) {
            if (hamming && k > 3) continue;
            const std::string ks = ", k " + std::to_string(k);
            for (size_t at = 0; at < N; ++at)
                add(n + ": null query at " + std::to_string(at) + ks,
                    [=, &f](outputs &o) {
                        holed h(f, at);
                        return fn(f.index, h.p, h.l, N, k, o.m, &o.st);
                    },
                    0, effect::custom, [=, &f](const outputs &o) {
                        for (size_t i = 0; i < N; ++i) {
                            if (i == at) {
                                EXPECT_EQ(o.m[i], oracle::match_invalid());
                            } else if (n != "assign_status_stats") {
                                EXPECT_EQ(o.m[i], expected(f, i, k, hamming)) << i;
                            } else {
                                EXPECT_EQ(o.m[i].status, expected(f, i, k).status) << i;
                            }
                        }
                    });
            add(n + ": empty index" + ks,
                [=, &f](outputs &o) {
                    holed h(f, 1);
                    return fn(f.empty, h.p, h.l, N, k, o.m, &o.st);
                },
                0, effect::custom, [=](const outputs &o) {
                    EXPECT_EQ(o.m[0], oracle::match_none());
                    EXPECT_EQ(o.m[1], oracle::match_invalid());
                    EXPECT_EQ(o.m[2], oracle::match_none());
                    if (counts) {
                        EXPECT_EQ(o.st, (vorn_stats{0, 0}));
                    }
                });
            if (k <= 1 || hamming)
                for (size_t len : huge)
                    add(n + ": query of " + std::to_string(len) + " bytes, nothing read" + ks,
                        [=, &f](outputs &o) { return fn(f.index, &A, &len, 1, k, o.m, &o.st); }, 0,
                        effect::custom,
                        [](const outputs &o) { EXPECT_EQ(o.m[0], oracle::match_none()); });
        }
    }
    return rows;
}

TEST(BadInput, EveryEntryPointReturnsItsDocumentedValueAndWritesNothingWhenRejected) {
    fixture f;
    ASSERT_NE(f.index, nullptr);
    ASSERT_NE(f.empty, nullptr);
    for (const auto &r : bad_input_rows(f)) {
        SCOPED_TRACE(r.name);
        outputs o;
        // Nothing the library allocates may outlive a call, however it ends.
        int64_t got = 0;
        const auto c = velmora_test::alloc_measure([&] { got = r.call(o); });
        EXPECT_EQ(c.live, 0);
        EXPECT_EQ(got, r.want);
        switch (r.what) {
            case effect::untouched:
                EXPECT_TRUE(o.records_untouched());
                EXPECT_TRUE(o.stats_untouched());
                break;
            case effect::stats_zeroed:
                EXPECT_TRUE(o.records_untouched());
                EXPECT_EQ(o.st, (vorn_stats{0, 0}));
                break;
            case effect::custom:
                r.check(o);
                break;
        }
    }
}

}  // namespace
