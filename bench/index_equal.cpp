// Two builds of the library checked against each other on every matching
// entry point, in one process: both are loaded with dlopen and given the
// same seeded random lists and queries (lengths 0 to 40, some N and
// lower-case bytes, many near copies of a reference), and every record,
// counter, hit list and rescue answer must agree.  An index built with
// VORN_INDEX_NO_* flags answers with other counters, so for those builds
// only the records, the status-only statuses, the hits and the rescue
// answers are compared (and counters only against the same flags).  For a
// refactoring that must leave every result as it was.
//
//   g++ -O2 -std=c++20 -Iinclude -Ibench bench/index_equal.cpp bench/bench_data.cpp -o index_equal -ldl -lz
//   ./index_equal OLD.so NEW.so [ROUNDS] [SEED]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ab_load.h"
#include "bench_data.h"
#include "velmora.h"

namespace {

using velmora_bench::find;
using velmora_bench::load_library;

using velmora_bench::batch_fn;
using velmora_bench::exact_batch_fn;

struct library {
    decltype(&vorn_index_build_opts) build;
    decltype(&vorn_index_free) free_index;
    decltype(&vorn_index_lookup_exact_stats) exact_one;
    decltype(&vorn_index_lookup_exact_ascii_stats) exact_ascii_one;
    exact_batch_fn exact_many;
    exact_batch_fn exact_ascii_many;
    batch_fn assign;
    batch_fn status;
    batch_fn hamming;
    decltype(&vorn_index_hits) hits;
    decltype(&vorn_rescue_read_stats) rescue;
    decltype(&vorn_match_many) match_many;
    decltype(&vorn_assign_many) assign_many;
    decltype(&vorn_edit_distance_leq) leq;
    decltype(&vorn_rescue_params_default) rescue_defaults;
};

library load(const char *path) {
    void *h = load_library(path);
    library l;
    find(h, "vorn_index_build_opts", &l.build);
    find(h, "vorn_index_free", &l.free_index);
    find(h, "vorn_index_lookup_exact_stats", &l.exact_one);
    find(h, "vorn_index_lookup_exact_ascii_stats", &l.exact_ascii_one);
    find(h, "vorn_index_lookup_exact_many_stats", &l.exact_many);
    find(h, "vorn_index_lookup_exact_ascii_many_stats", &l.exact_ascii_many);
    find(h, "vorn_index_assign_stats", &l.assign);
    find(h, "vorn_index_assign_status_stats", &l.status);
    find(h, "vorn_index_assign_hamming_stats", &l.hamming);
    find(h, "vorn_index_hits", &l.hits);
    find(h, "vorn_rescue_read_stats", &l.rescue);
    find(h, "vorn_match_many", &l.match_many);
    find(h, "vorn_assign_many", &l.assign_many);
    find(h, "vorn_edit_distance_leq", &l.leq);
    find(h, "vorn_rescue_params_default", &l.rescue_defaults);
    return l;
}

struct rng {
    uint64_t s;
    uint64_t next() {
        s += 0x9e3779b97f4a7c15ull;
        uint64_t z = s;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    size_t range(size_t lo, size_t hi) { return lo + next() % (hi - lo + 1); }
    bool chance(unsigned percent) { return next() % 100 < percent; }
};

char random_byte(rng &g, unsigned noise) {
    if (g.chance(noise)) return "Nnacgt"[g.next() % 6];
    return "ACGT"[g.next() % 4];
}

std::string edited(rng &g, std::string s, unsigned edits, unsigned noise) {
    for (unsigned i = 0; i < edits; ++i) {
        const size_t kind = g.next() % 3;
        if (kind == 0 && !s.empty()) s[g.range(0, s.size() - 1)] = random_byte(g, noise);
        else if (kind == 1) s.insert(s.begin() + static_cast<long>(g.range(0, s.size())), random_byte(g, noise));
        else if (!s.empty()) s.erase(s.begin() + static_cast<long>(g.range(0, s.size() - 1)));
    }
    return s;
}

struct seqs {
    std::vector<std::string> s;
    std::vector<const uint8_t *> p;
    std::vector<size_t> l;
    void finish() {
        p.clear();
        l.clear();
        for (const auto &x : s) {
            p.push_back(reinterpret_cast<const uint8_t *>(x.data()));
            l.push_back(x.size());
        }
    }
};

long failures = 0;
long compared = 0;

void fail(const char *what, const std::string &q, const std::string &detail) {
    if (failures++ < 20) std::fprintf(stderr, "differ: %s on \"%s\": %s\n", what, q.c_str(), detail.c_str());
}

std::string show(const vorn_match &m) {
    char b[128];
    std::snprintf(b, sizeof b, "(%u %u %u %u %u)", m.best_index, m.best_distance, m.second_distance,
                  m.hit_count, m.status);
    return b;
}

bool same(const vorn_match &a, const vorn_match &b) {
    return a.best_index == b.best_index && a.best_distance == b.best_distance &&
           a.second_distance == b.second_distance && a.hit_count == b.hit_count &&
           a.status == b.status;
}

bool same(const vorn_stats &a, const vorn_stats &b) {
    return a.candidates == b.candidates && a.verifications == b.verifications;
}

// One batch entry point on both builds: records (or statuses only) and
// counters (when asked) per query.
template <class Call>
void compare_batch(const char *what, const seqs &q, bool whole_record, bool counters, Call call) {
    const size_t n = q.s.size();
    std::vector<vorn_match> out[2];
    vorn_stats total[2];
    for (int i = 0; i < 2; ++i) {
        out[i].assign(n, vorn_match{});
        total[i] = vorn_stats{7, 7};
    }
    int32_t rc[2];
    for (int i = 0; i < 2; ++i) rc[i] = call(i, out[i].data(), &total[i]);
    ++compared;
    if (rc[0] != rc[1]) fail(what, "", "return value");
    for (size_t j = 0; j < n; ++j) {
        const bool agree = whole_record ? same(out[0][j], out[1][j]) : out[0][j].status == out[1][j].status;
        if (!agree) fail(what, q.s[j], show(out[0][j]) + " against " + show(out[1][j]));
    }
    if (counters && !same(total[0], total[1])) fail(what, "(batch counters)", "");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: index_equal OLD.so NEW.so [ROUNDS] [SEED]\n");
        return 2;
    }
    const library lib[2] = {load(argv[1]), load(argv[2])};
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 200;
    rng g{argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1};
    const uint32_t flag_sets[4] = {0, VORN_INDEX_NO_DELETION, VORN_INDEX_NO_PIECES,
                                   VORN_INDEX_NO_DELETION | VORN_INDEX_NO_PIECES};
    for (int round = 0; round < rounds; ++round) {
        // A list of one length or of several, encodable or with odd bytes.
        seqs refs;
        const size_t n_refs = g.chance(10) ? g.range(0, 3) : g.range(1, g.chance(30) ? 3000 : 200);
        const size_t base_len = g.chance(20) ? g.range(0, 40) : g.range(8, 20);
        const unsigned ref_noise = g.chance(40) ? 0 : 5;
        const bool one_len = g.chance(40);
        for (size_t i = 0; i < n_refs; ++i) {
            const size_t len = one_len ? base_len : g.range(base_len > 3 ? base_len - 3 : 0, base_len + 3);
            if (i > 0 && g.chance(30)) {
                refs.s.push_back(edited(g, refs.s[g.range(0, i - 1)], unsigned(g.range(0, 2)), ref_noise));
            } else {
                std::string r;
                for (size_t b = 0; b < len; ++b) r += random_byte(g, ref_noise);
                refs.s.push_back(r);
            }
        }
        refs.finish();
        seqs q;
        const size_t n_q = g.range(1, 300);
        for (size_t i = 0; i < n_q; ++i) {
            std::string s;
            if (n_refs > 0 && g.chance(85)) {
                s = edited(g, refs.s[g.range(0, n_refs - 1)], unsigned(g.range(0, 4)), g.chance(70) ? 0 : 10);
            } else {
                const size_t len = g.range(0, 40);
                for (size_t b = 0; b < len; ++b) s += random_byte(g, 5);
            }
            q.s.push_back(s);
        }
        q.finish();
        const uint32_t flags = flag_sets[g.next() % 4];
        vorn_index *ix[2];
        for (int i = 0; i < 2; ++i) ix[i] = lib[i].build(refs.p.data(), refs.l.data(), n_refs, flags);
        if ((ix[0] == nullptr) != (ix[1] == nullptr)) fail("build", "", "one build failed");
        if (ix[0] == nullptr || ix[1] == nullptr) continue;
        // The counters of both builds come from the same flags, so they are
        // compared for every build; whole records for every build too (the
        // brute-force record is the same whatever tables were left out).
        for (int32_t k = 0; k <= 4; ++k) {
            compare_batch("assign", q, true, true, [&](int i, vorn_match *o, vorn_stats *st) {
                return lib[i].assign(ix[i], q.p.data(), q.l.data(), n_q, k, o, st);
            });
            compare_batch("status", q, flags == 0, true, [&](int i, vorn_match *o, vorn_stats *st) {
                return lib[i].status(ix[i], q.p.data(), q.l.data(), n_q, k, o, st);
            });
            compare_batch("hamming", q, true, true, [&](int i, vorn_match *o, vorn_stats *st) {
                return lib[i].hamming(ix[i], q.p.data(), q.l.data(), n_q, k, o, st);
            });
        }
        compare_batch("exact_many", q, true, true, [&](int i, vorn_match *o, vorn_stats *st) {
            return lib[i].exact_many(ix[i], q.p.data(), q.l.data(), n_q, o, st);
        });
        compare_batch("exact_ascii_many", q, true, true, [&](int i, vorn_match *o, vorn_stats *st) {
            return lib[i].exact_ascii_many(ix[i], q.p.data(), q.l.data(), n_q, o, st);
        });
        compare_batch("exact_one", q, true, true, [&](int i, vorn_match *o, vorn_stats *st) {
            for (size_t j = 0; j < n_q; ++j) {
                vorn_stats one{};
                if (lib[i].exact_one(ix[i], q.p[j], q.l[j], &o[j], &one) != 0) return -1;
                st->candidates += one.candidates;
                st->verifications += one.verifications;
            }
            return 0;
        });
        compare_batch("exact_ascii_one", q, true, true, [&](int i, vorn_match *o, vorn_stats *st) {
            for (size_t j = 0; j < n_q; ++j) {
                vorn_stats one{};
                if (lib[i].exact_ascii_one(ix[i], q.p[j], q.l[j], &o[j], &one) != 0) return -1;
                st->candidates += one.candidates;
                st->verifications += one.verifications;
            }
            return 0;
        });
        compare_batch("match_many", q, true, false, [&](int i, vorn_match *o, vorn_stats *) {
            return lib[i].match_many(q.p.data(), q.l.data(), n_q, refs.p.data(), refs.l.data(), n_refs,
                                     int32_t(round % 4), o);
        });
        {
            std::vector<vorn_assignment> a[2];
            for (int i = 0; i < 2; ++i) {
                a[i].assign(n_q, vorn_assignment{});
                lib[i].assign_many(q.p.data(), q.l.data(), n_q, refs.p.data(), refs.l.data(), n_refs,
                                   int32_t(round % 3), uint32_t(round & 1), a[i].data());
            }
            ++compared;
            if (std::memcmp(a[0].data(), a[1].data(), n_q * sizeof(vorn_assignment)) != 0)
                fail("assign_many", "", "records");
        }
        std::vector<uint64_t> counts(n_refs);
        for (auto &c : counts) c = g.next() % 4;
        for (size_t j = 0; j < n_q; ++j) {
            const std::string &s = q.s[j];
            const auto *p = reinterpret_cast<const uint8_t *>(s.data());
            for (uint32_t metric = 0; metric <= 1; ++metric) {
                for (int32_t k = 0; k <= 3; ++k) {
                    vorn_hit h[2][64];
                    size_t nh[2] = {0, 0};
                    int32_t rc[2];
                    for (int i = 0; i < 2; ++i) rc[i] = lib[i].hits(ix[i], p, s.size(), metric, k, h[i], 64, &nh[i]);
                    ++compared;
                    if (rc[0] != rc[1] || nh[0] != nh[1] ||
                        std::memcmp(h[0], h[1], std::min<size_t>(nh[0], 64) * sizeof(vorn_hit)) != 0)
                        fail("hits", s, "metric " + std::to_string(metric) + " k " + std::to_string(k));
                }
            }
            // The rescue: the read is the query with a few more bases behind it.
            std::string read = s + "ACGTTGCA";
            std::string quals(read.size(), 'I');
            for (auto &c : quals) c = static_cast<char>('#' + g.next() % 40);
            const size_t window = s.size();
            for (int variant = 0; variant < 6; ++variant) {
                vorn_rescue_params par;
                lib[0].rescue_defaults(&par);
                par.metric = variant == 5 ? VORN_METRIC_HAMMING : VORN_METRIC_EDIT;
                par.k = variant == 5 ? 1 : variant % 3;
                par.fixed_window = variant == 4 ? 1 : 0;
                par.rescue = variant == 3 ? 0 : 1;
                vorn_hit h[2][64];
                size_t nh[2] = {0, 0};
                vorn_rescue_result r[2];
                vorn_stats st[2] = {{0, 0}, {0, 0}};
                std::memset(r, 0, sizeof r);
                int32_t rc[2];
                for (int i = 0; i < 2; ++i)
                    rc[i] = lib[i].rescue(ix[i], reinterpret_cast<const uint8_t *>(read.data()),
                                          reinterpret_cast<const uint8_t *>(quals.data()), read.size(),
                                          window, counts.data(), n_refs, &par, h[i], 64, &nh[i], &r[i],
                                          &st[i]);
                ++compared;
                if (rc[0] != rc[1] || nh[0] != nh[1] ||
                    std::memcmp(h[0], h[1], std::min<size_t>(nh[0], 64) * sizeof(vorn_hit)) != 0 ||
                    (rc[0] == 0 && (r[0].status != r[1].status || r[0].ref_index != r[1].ref_index ||
                                     r[0].distance != r[1].distance ||
                                     r[0].second_distance != r[1].second_distance ||
                                     r[0].hit_count != r[1].hit_count || r[0].posterior != r[1].posterior)) ||
                    !same(st[0], st[1]))
                    fail("rescue", read, "variant " + std::to_string(variant));
            }
            // The bounded test on the pair query, first reference.
            if (n_refs > 0) {
                for (int32_t k = -1; k <= 5; ++k) {
                    ++compared;
                    if (lib[0].leq(p, s.size(), refs.p[0], refs.l[0], k) !=
                        lib[1].leq(p, s.size(), refs.p[0], refs.l[0], k))
                        fail("edit_distance_leq", s, std::to_string(k));
                }
            }
        }
        for (int i = 0; i < 2; ++i) lib[i].free_index(ix[i]);
    }
    std::printf("%ld comparisons, %ld differences\n", compared, failures);
    return failures == 0 ? 0 : 1;
}
