// Generators and buffers shared by the unit tests and the fuzz harnesses.
//
// One byte source feeds every generator: the fuzzer's input (read front to
// back; an exhausted input reads as zeros, so every input decodes to
// something) or, for the unit tests and the seeded replays, a PRNG.  The
// sequences sit where faults live: near neighbors and duplicates, N, lower
// case and arbitrary bytes, lengths at the 2-bit code and machine word
// boundaries.  They reach the library as exact-length heap copies (no
// terminator), so a sanitizer sees any over-read.  No gtest here: the fuzz
// harnesses link without it.
#ifndef VELMORA_TESTS_GEN_H
#define VELMORA_TESTS_GEN_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "oracle.h"
#include "velmora.h"

namespace velmora_test {

// Seed from VELMORA_TEST_SEED when set, else a fixed default; the tests print
// it so that a failure can be replayed.
inline uint64_t test_seed() {
    const char *s = std::getenv("VELMORA_TEST_SEED");
    return s ? std::strtoull(s, nullptr, 10) : 20261206u;
}

class source {
public:
    source(const uint8_t *data, size_t size) : data_(data), size_(size), random_(false) {}
    explicit source(uint64_t seed) : gen_(seed), random_(true) {}

    uint8_t byte() {
        if (random_) return static_cast<uint8_t>(gen_());
        return pos_ < size_ ? data_[pos_++] : 0;
    }
    uint64_t next() {
        if (random_) return gen_();
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | byte();
        return v;
    }
    uint32_t u16() {
        const uint32_t hi = byte();
        return hi << 8 | byte();
    }
    // Uniform-ish in [0, n).
    uint32_t below(uint32_t n) { return n <= 256 ? byte() % n : u16() % n; }
    // Uniform in [lo, hi].
    size_t range(size_t lo, size_t hi) { return lo + static_cast<size_t>(next() % (hi - lo + 1)); }
    bool chance(unsigned percent) { return next() % 100 < percent; }

    char base() { return "ACGT"[next() % 4]; }
    // Mostly A/C/G/T; with noise_percent, N, lower case, 0, 255, '-' or U.
    char noisy_byte(unsigned noise_percent) {
        if (!chance(noise_percent)) return base();
        static const char odd[] = {'N', 'a', 'c', 'g', 't', 'n', '\0', '\xff', '-', 'U'};
        return odd[next() % sizeof odd];
    }
    std::string dna(size_t len) { return noisy(len, 0); }
    std::string noisy(size_t len, unsigned noise_percent) {
        std::string s(len, 'A');
        for (auto &c : s) c = noisy_byte(noise_percent);
        return s;
    }
    // Lengths weighted towards the boundaries of the 2-bit code.
    size_t boundary_len(size_t max_len = 40) {
        static const size_t picks[] = {0, 1, 2, 3, 4, 8, 16, 30, 31, 32, 32, 33, 33, 34, 34, 35, 36};
        if (chance(60)) {
            const size_t v = picks[next() % (sizeof picks / sizeof picks[0])];
            return v <= max_len ? v : max_len;
        }
        return range(0, max_len);
    }
    // s with n random edits (substitution, insertion or deletion).
    std::string mutate(const std::string &s, unsigned n, unsigned noise_percent = 0,
                       bool substitutions_only = false) {
        std::string t = s;
        for (unsigned i = 0; i < n; ++i) {
            const unsigned kind = substitutions_only ? 0 : static_cast<unsigned>(next() % 3);
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

    // The fuzz harnesses' decoding (kept stable: the committed corpus is
    // written in it).  A sequence byte: mostly A/C/G/T, else N, lower case or
    // any byte at all.
    char symbol() {
        const uint8_t v = byte();
        if (v < 176) return "ACGT"[v & 3];
        if (v < 196) return 'N';
        if (v < 224) return "acgtnRY-"[v & 7];
        return static_cast<char>(byte());
    }
    // A length in [0, max_len], half the time one of the boundary lengths.
    size_t length(size_t max_len) {
        static const size_t picks[] = {0,  1,  2,  3,  4,  7,  8,   9,   15,  16,  17,  30,
                                       31, 32, 33, 34, 35, 36, 40,  63,  64,  65,  127, 128,
                                       129, 511, 512, 513, 520, 600, 700};
        const uint8_t v = byte();
        if (v < 128) {
            size_t n = 0;
            for (size_t p : picks)
                if (p <= max_len) ++n;
            return picks[v % n];  // picks is ascending
        }
        return max_len < 256 ? byte() % (max_len + 1) : u16() % (max_len + 1);
    }
    // A fresh sequence, or an earlier one from pool with a few edits (none
    // gives a duplicate); now and then a null pointer.  Long fresh ones come
    // from a seed so that a short input can reach 700 bytes.
    oracle::seq sequence(const std::vector<oracle::seq> &pool, size_t max_len,
                         bool allow_null = true) {
        const uint8_t op = byte();
        if (allow_null && op == 255) {
            oracle::seq s;
            s.null_ptr = true;
            s.claimed_len = byte() % 3;  // 0 is the valid empty sequence
            return s;
        }
        std::vector<const oracle::seq *> usable;
        for (const auto &p : pool)
            if (!p.null_ptr) usable.push_back(&p);
        const unsigned kind = op % 8;
        if (kind >= 3 && !usable.empty()) {
            std::string s = usable[byte() % usable.size()]->bytes;
            for (unsigned e = 0; e < kind - 3; ++e) edit(s, max_len);
            return oracle::seq{s};
        }
        const size_t len = length(max_len);
        std::string s(len, 'A');
        if (kind == 0 && len > 48) {
            uint32_t state = u16() | 1u;
            const uint8_t noise = byte() % 40;
            for (auto &c : s) {
                state = state * 1103515245u + 12345u;
                const uint32_t r = state >> 16;
                c = r % 100 < noise ? static_cast<char>(r >> 8) : "ACGT"[r & 3];
            }
        } else {
            for (auto &c : s) c = symbol();
        }
        return oracle::seq{s};
    }

private:
    void edit(std::string &s, size_t max_len) {
        const uint8_t what = byte();
        const size_t pos = byte();
        switch (what % 3) {
            case 0:
                if (!s.empty()) s[pos % s.size()] = symbol();
                break;
            case 1:
                if (s.size() < max_len)
                    s.insert(s.begin() + static_cast<long>(pos % (s.size() + 1)), symbol());
                break;
            default:
                if (!s.empty()) s.erase(s.begin() + static_cast<long>(pos % s.size()));
                break;
        }
    }

    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    std::mt19937_64 gen_;
    bool random_;
};
using rng = source;

// Sequences as the library sees them: each in its own exact-length heap block,
// or a null pointer with the claimed length.
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
        auto *p = static_cast<uint8_t *>(std::malloc(s.bytes.empty() ? 1 : s.bytes.size()));
        if (p == nullptr) std::abort();
        if (!s.bytes.empty()) std::memcpy(p, s.bytes.data(), s.bytes.size());
        ptrs_.push_back(p);
        lens_.push_back(s.bytes.size());
    }
    void add(const std::string &s) { add(oracle::seq{s}); }
    const uint8_t *const *ptrs() const { return ptrs_.data(); }
    const size_t *lens() const { return lens_.data(); }
    const uint8_t *ptr(size_t i) const { return ptrs_[i]; }
    size_t len(size_t i) const { return lens_[i]; }
    size_t size() const { return ptrs_.size(); }

private:
    std::vector<const uint8_t *> ptrs_;
    std::vector<size_t> lens_;
};
using batch = seq_batch;

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
// 0xFF), homopolymers, exact duplicates and the empty reference (also as a
// null pointer).
inline std::vector<oracle::seq> near_neighbor_refs(source &g, size_t n_seeds, size_t n_refs,
                                                    size_t max_len = 40) {
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
            // The empty reference, half the time as a null pointer (the
            // same reference: a null pointer of length 0 is valid).
            refs.push_back(oracle::seq{"", g.chance(50), 0});
            continue;
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

// The entries an index can hold as codes alone (A/C/G/T, at most 32 bases):
// a list of them alone has no byte copy.  Never empty: a list left with none
// gets one random 16-base entry.
inline std::vector<oracle::seq> encodable_only(rng &g, const std::vector<oracle::seq> &refs) {
    std::vector<oracle::seq> out;
    for (const oracle::seq &r : refs) {
        if (!r.null_ptr && oracle::encodable(r.bytes)) out.push_back(r);
    }
    if (out.empty()) out.push_back(oracle::seq{g.dna(16)});
    return out;
}

// Queries of the same kinds: mutants of references, fresh and noisy ones,
// with a null empty query and a null invalid one among them.
inline std::vector<oracle::seq> near_neighbor_queries(source &g,
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

inline bool same(const vorn_match &a, const vorn_match &b) {
    return a.best_index == b.best_index && a.best_distance == b.best_distance &&
           a.second_distance == b.second_distance && a.hit_count == b.hit_count &&
           a.status == b.status;
}
inline bool same(const vorn_assignment &a, const vorn_assignment &b) {
    return a.best_index == b.best_index && a.best_distance == b.best_distance &&
           a.second_distance == b.second_distance && a.best_count == b.best_count &&
           a.hit_count == b.hit_count && a.status == b.status && a.edit_class == b.edit_class;
}

inline void print_seq(const char *name, const oracle::seq &s) {
    if (s.null_ptr) {
        std::fprintf(stderr, "  %s = NULL (length %zu)\n", name, s.claimed_len);
        return;
    }
    std::fprintf(stderr, "  %s (%zu) = \"", name, s.bytes.size());
    for (unsigned char c : s.bytes) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') std::fputc(c, stderr);
        else std::fprintf(stderr, "\\x%02x", c);
    }
    std::fprintf(stderr, "\"\n");
}

inline void print_match(const char *name, const vorn_match &m) {
    std::fprintf(stderr, "  %s = {best_index=%u best=%u second=%u hits=%u status=%u}\n", name,
                 m.best_index, m.best_distance, m.second_distance, m.hit_count, m.status);
}

// Prints what disagreed and the sequences in play, then aborts: the fuzzer
// keeps the input as a reproducer, a replay fails its test.
[[noreturn]] inline void fail(const char *what, const std::vector<oracle::seq> &refs,
                              const std::vector<oracle::seq> &queries) {
    std::fprintf(stderr, "MISMATCH: %s\n", what);
    char name[32];
    for (size_t i = 0; i < refs.size(); ++i) {
        std::snprintf(name, sizeof name, "ref[%zu]", i);
        print_seq(name, refs[i]);
    }
    for (size_t i = 0; i < queries.size(); ++i) {
        std::snprintf(name, sizeof name, "query[%zu]", i);
        print_seq(name, queries[i]);
    }
    std::abort();
}

}  // namespace velmora_test

namespace fuzz {
using velmora_test::batch;
using velmora_test::fail;
using velmora_test::print_match;
using velmora_test::same;
using input = velmora_test::source;
}  // namespace fuzz

#endif
