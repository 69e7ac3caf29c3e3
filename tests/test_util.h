// Helpers shared by the test binaries: seeded random sequences aimed where
// faults live (near neighbors, duplicates, N and lower case, the 31..35 and
// word-boundary lengths), exact-length heap copies for ASan, record printing.
#ifndef VELMORA_TESTS_TEST_UTIL_H
#define VELMORA_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "oracle.h"
#include "velmora.h"

inline bool operator==(const vorn_match &a, const vorn_match &b) {
    return a.best_index == b.best_index && a.best_distance == b.best_distance &&
           a.second_distance == b.second_distance && a.hit_count == b.hit_count &&
           a.status == b.status;
}
inline std::ostream &operator<<(std::ostream &os, const vorn_match &m) {
    return os << "{best_index=" << m.best_index << " best=" << m.best_distance
              << " second=" << m.second_distance << " hits=" << m.hit_count
              << " status=" << m.status << "}";
}
inline bool operator==(const vorn_assignment &a, const vorn_assignment &b) {
    return a.best_index == b.best_index && a.best_distance == b.best_distance &&
           a.second_distance == b.second_distance && a.best_count == b.best_count &&
           a.hit_count == b.hit_count && a.status == b.status && a.edit_class == b.edit_class;
}
inline std::ostream &operator<<(std::ostream &os, const vorn_assignment &m) {
    return os << "{best_index=" << m.best_index << " best=" << m.best_distance
              << " second=" << m.second_distance << " best_count=" << m.best_count
              << " hits=" << m.hit_count << " status=" << m.status
              << " class=" << m.edit_class << "}";
}
inline bool operator==(const vorn_stats &a, const vorn_stats &b) {
    return a.candidates == b.candidates && a.verifications == b.verifications;
}
inline std::ostream &operator<<(std::ostream &os, const vorn_stats &s) {
    return os << "{candidates=" << s.candidates << " verifications=" << s.verifications << "}";
}

namespace velmora_test {

// Seed from VELMORA_TEST_SEED when set, else a fixed default; printed by the
// tests that use it so a failure can be replayed.
inline uint64_t test_seed() {
    const char *s = std::getenv("VELMORA_TEST_SEED");
    return s ? std::strtoull(s, nullptr, 10) : 20261206u;
}

// Iteration scale from VELMORA_TEST_SCALE (default 1).
inline int test_scale() {
    const char *s = std::getenv("VELMORA_TEST_SCALE");
    const int v = s ? std::atoi(s) : 1;
    return v > 0 ? v : 1;
}

class rng {
public:
    explicit rng(uint64_t seed) : gen_(seed) {}
    uint64_t next() { return gen_(); }
    // Uniform in [lo, hi].
    size_t range(size_t lo, size_t hi) {
        return lo + static_cast<size_t>(gen_() % (hi - lo + 1));
    }
    bool chance(unsigned percent) { return gen_() % 100 < percent; }

    char base() { return "ACGT"[gen_() % 4]; }
    // A byte for a sequence: mostly A/C/G/T, sometimes N, lower case, 0 or 255.
    char noisy_byte(unsigned noise_percent) {
        if (!chance(noise_percent)) return base();
        static const char odd[] = {'N', 'a', 'c', 'g', 't', 'n', '\0', '\xff', '-', 'U'};
        return odd[gen_() % sizeof odd];
    }
    std::string dna(size_t len) {
        std::string s(len, 'A');
        for (auto &c : s) c = base();
        return s;
    }
    std::string noisy(size_t len, unsigned noise_percent) {
        std::string s(len, 'A');
        for (auto &c : s) c = noisy_byte(noise_percent);
        return s;
    }
    // Lengths weighted towards the boundaries of the 2-bit code.
    size_t boundary_len(size_t max_len = 40) {
        static const size_t picks[] = {0, 1, 2, 3, 4, 8, 16, 30, 31, 32, 32, 33, 33, 34, 34, 35, 36};
        if (chance(60)) {
            const size_t v = picks[gen_() % (sizeof picks / sizeof picks[0])];
            return v <= max_len ? v : max_len;
        }
        return range(0, max_len);
    }
    // s with n random edits (substitution, insertion or deletion), drawing
    // new bytes with the given noise.
    std::string mutate(const std::string &s, unsigned n, unsigned noise_percent = 0,
                       bool substitutions_only = false) {
        std::string t = s;
        for (unsigned i = 0; i < n; ++i) {
            const unsigned kind = substitutions_only ? 0 : static_cast<unsigned>(gen_() % 3);
            if (kind == 0 && !t.empty()) {
                t[range(0, t.size() - 1)] = noisy_byte(noise_percent);
            } else if (kind == 1) {
                t.insert(t.begin() + static_cast<long>(range(0, t.size())), noisy_byte(noise_percent));
            } else if (!t.empty()) {
                t.erase(t.begin() + static_cast<long>(range(0, t.size() - 1)));
            }
        }
        return t;
    }

private:
    std::mt19937_64 gen_;
};

// Sequences as the library sees them: each in its own exact-length heap
// block (no terminator, so ASan catches an over-read), or a null pointer.
class seq_batch {
public:
    seq_batch() = default;
    explicit seq_batch(const std::vector<oracle::seq> &seqs) {
        for (const auto &s : seqs) add(s);
    }
    seq_batch(const seq_batch &) = delete;
    seq_batch &operator=(const seq_batch &) = delete;
    ~seq_batch() {
        for (auto *p : ptrs_) std::free(const_cast<uint8_t *>(p));
    }
    void add(const oracle::seq &s) {
        if (s.null_ptr) {
            ptrs_.push_back(nullptr);
            lens_.push_back(s.claimed_len);
            return;
        }
        // One extra byte keeps malloc(0) from returning null for empty sequences.
        auto *p = static_cast<uint8_t *>(std::malloc(s.bytes.size() ? s.bytes.size() : 1));
        if (!s.bytes.empty()) std::memcpy(p, s.bytes.data(), s.bytes.size());
        ptrs_.push_back(p);
        lens_.push_back(s.bytes.size());
    }
    void add(const std::string &s) { add(oracle::seq{s}); }
    const uint8_t *const *ptrs() const { return ptrs_.data(); }
    const size_t *lens() const { return lens_.data(); }
    size_t size() const { return ptrs_.size(); }

private:
    std::vector<const uint8_t *> ptrs_;
    std::vector<size_t> lens_;
};

inline std::vector<oracle::seq> as_seqs(const std::vector<std::string> &v) {
    std::vector<oracle::seq> out;
    for (const auto &s : v) out.push_back(oracle::seq{s});
    return out;
}

inline const uint8_t *bytes(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

// References aimed at the index's boundaries: a few seeds of boundary
// lengths, their mutants at 0 to 3 edits (some with N, lower case, 0x00,
// 0xFF), homopolymers, exact duplicates and the empty reference.
inline std::vector<oracle::seq> near_neighbor_refs(rng &g, size_t n_seeds,
                                                    size_t n_refs, size_t max_len = 40) {
    std::vector<std::string> seeds;
    for (size_t i = 0; i < n_seeds; ++i) {
        const size_t len = g.boundary_len(max_len);
        seeds.push_back(g.chance(15) ? std::string(len, "ACGT"[g.range(0, 3)]) : g.dna(len));
    }
    std::vector<oracle::seq> refs;
    while (refs.size() < n_refs) {
        const unsigned pick = static_cast<unsigned>(g.range(0, 99));
        std::string s;
        if (pick < 5) {
            s = "";
        } else if (pick < 15 && !refs.empty()) {
            refs.push_back(refs[g.range(0, refs.size() - 1)]);
            continue;
        } else if (pick < 22) {
            s = g.noisy(g.boundary_len(max_len), 30);
        } else {
            const std::string &seed = seeds[g.range(0, seeds.size() - 1)];
            s = g.mutate(seed, static_cast<unsigned>(g.range(0, 3)), g.chance(20) ? 30 : 0);
        }
        refs.push_back(oracle::seq{s});
    }
    return refs;
}

// Queries of the same kinds: mutants of references, fresh sequences and
// noisy ones, with a null empty query and a null invalid one among them.
inline std::vector<oracle::seq> near_neighbor_queries(rng &g,
                                                       const std::vector<oracle::seq> &refs,
                                                       size_t n, size_t max_len = 40) {
    std::vector<oracle::seq> qs;
    for (size_t i = 0; i < n; ++i) {
        const unsigned pick = static_cast<unsigned>(g.range(0, 99));
        oracle::seq q;
        if (pick < 3) {
            q.null_ptr = true;
        } else if (pick < 5) {
            q.null_ptr = true;
            q.claimed_len = g.range(1, 40);
        } else if (pick < 15 || refs.empty()) {
            q.bytes = g.chance(50) ? g.dna(g.boundary_len(max_len))
                                   : g.noisy(g.boundary_len(max_len), 10);
        } else {
            const std::string &r = refs[g.range(0, refs.size() - 1)].bytes;
            q.bytes = g.mutate(r, static_cast<unsigned>(g.range(0, 3)), g.chance(15) ? 30 : 0);
        }
        qs.push_back(q);
    }
    return qs;
}

// An index owned together with the references it was built from (kept so a
// test can hand the same ones to the brute-force matcher or the oracle).
struct built_index {
    std::vector<oracle::seq> refs;
    seq_batch batch;
    vorn_index *index = nullptr;

    explicit built_index(const std::vector<oracle::seq> &r) : refs(r), batch(r) {
        index = vorn_index_build(batch.ptrs(), batch.lens(), batch.size());
    }
    explicit built_index(const std::vector<std::string> &r) : built_index(as_seqs(r)) {}
    ~built_index() { vorn_index_free(index); }
    built_index(const built_index &) = delete;
    built_index &operator=(const built_index &) = delete;
    const vorn_index *operator->() const { return index; }
    std::vector<std::string> strings() const {
        std::vector<std::string> out;
        for (const auto &s : refs) out.push_back(s.bytes);
        return out;
    }
};

// An output record filled with a byte pattern, to see that a rejected call
// wrote nothing.
template <class T>
T poisoned() {
    T v;
    std::memset(&v, 0xA5, sizeof v);
    return v;
}

}  // namespace velmora_test

#endif
