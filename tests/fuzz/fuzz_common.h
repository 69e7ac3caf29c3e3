// Shared by the fuzz harnesses: turns the fuzzer's bytes into sequences that
// sit where faults live (near neighbors and duplicates of earlier sequences,
// N, lower case and arbitrary bytes, lengths at the 2-bit code and machine
// word boundaries), hands them to the library as exact-length heap copies, and
// reports a disagreement with the naive oracle by printing it and aborting.
//
// Each harness defines LLVMFuzzerTestOneInput only; it links either with
// libFuzzer (clang, -fsanitize=fuzzer) or with replay_main.cpp, which feeds
// it the committed corpus in the ordinary build.
#ifndef VELMORA_TESTS_FUZZ_COMMON_H
#define VELMORA_TESTS_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "oracle.h"
#include "velmora.h"

namespace fuzz {

// Reads the input front to back; an exhausted input reads as zeros, so every
// input, however short, decodes to something.
class input {
public:
    input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u16() {
        const uint32_t hi = byte();
        return hi << 8 | byte();
    }
    // Uniform-ish in [0, n).
    uint32_t below(uint32_t n) { return n <= 256 ? byte() % n : u16() % n; }

    // A sequence byte: mostly upper-case A/C/G/T, else N, lower case, or any
    // byte at all (0 and 255 included).
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

    // A sequence: a fresh one, or an earlier one from pool with a few edits
    // (none at all gives a duplicate); now and then a null pointer.
    // Literal sequences spend one input byte per position; long ones are
    // generated from a seed so that a short input can reach 700 bytes.
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
                if (s.size() < max_len) s.insert(s.begin() + static_cast<long>(pos % (s.size() + 1)), symbol());
                break;
            default:
                if (!s.empty()) s.erase(s.begin() + static_cast<long>(pos % s.size()));
                break;
        }
    }

    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// Sequences as the library receives them: every one in its own heap block of
// exactly its length (no terminator), so a sanitizer sees any over-read.
class batch {
public:
    explicit batch(const std::vector<oracle::seq> &seqs) {
        for (const auto &s : seqs) {
            if (s.null_ptr) {
                ptrs_.push_back(nullptr);
                lens_.push_back(s.claimed_len);
                continue;
            }
            auto *p = static_cast<uint8_t *>(std::malloc(s.bytes.empty() ? 1 : s.bytes.size()));
            if (p == nullptr) std::abort();
            if (!s.bytes.empty()) std::memcpy(p, s.bytes.data(), s.bytes.size());
            ptrs_.push_back(p);
            lens_.push_back(s.bytes.size());
        }
    }
    batch(const batch &) = delete;
    batch &operator=(const batch &) = delete;
    ~batch() {
        for (auto *p : ptrs_) std::free(const_cast<uint8_t *>(p));
    }
    const uint8_t *const *ptrs() const { return ptrs_.data(); }
    const size_t *lens() const { return lens_.data(); }
    const uint8_t *ptr(size_t i) const { return ptrs_[i]; }
    size_t len(size_t i) const { return lens_[i]; }
    size_t size() const { return ptrs_.size(); }

private:
    std::vector<const uint8_t *> ptrs_;
    std::vector<size_t> lens_;
};

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

// Prints what disagreed, then the sequences that were in play, and aborts:
// the fuzzer keeps the input as a crash reproducer.
[[noreturn]] inline void fail(const char *what, const std::vector<oracle::seq> &refs,
                              const std::vector<oracle::seq> &queries) {
    std::fprintf(stderr, "MISMATCH: %s\n", what);
    for (size_t i = 0; i < refs.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "ref[%zu]", i);
        print_seq(name, refs[i]);
    }
    for (size_t i = 0; i < queries.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "query[%zu]", i);
        print_seq(name, queries[i]);
    }
    std::abort();
}

}  // namespace fuzz

#endif
