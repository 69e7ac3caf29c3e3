// Shared by the assignment tests: an owned index over a list of references,
// code/string conversion written out independently of the library, and the
// generator of reference sets full of near neighbours.
#ifndef VELMORA_TESTS_ASSIGN_FIXTURE_H
#define VELMORA_TESTS_ASSIGN_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "test_util.h"
#include "velmora.h"

namespace assign_test {

// An index with the seq_batch it was built from (kept so tests can hand the
// same references to vorn_match_many).
struct built_index {
    std::vector<oracle::seq> refs;
    velmora_test::seq_batch batch;
    vorn_index *index = nullptr;

    explicit built_index(const std::vector<oracle::seq> &r) : refs(r), batch(r) {
        index = vorn_index_build(batch.ptrs(), batch.lens(), batch.size());
    }
    explicit built_index(const std::vector<std::string> &r)
        : built_index(velmora_test::as_seqs(r)) {}
    ~built_index() { vorn_index_free(index); }
    built_index(const built_index &) = delete;
    built_index &operator=(const built_index &) = delete;
};

inline std::string decode(uint64_t code, uint64_t len) {
    std::string s;
    for (uint64_t i = 0; i < len; ++i) s += "ACGT"[(code >> (2 * i)) & 3];
    return s;
}

inline uint64_t encode(const std::string &s) {
    uint64_t code = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const uint64_t v = s[i] == 'A' ? 0 : s[i] == 'C' ? 1 : s[i] == 'G' ? 2 : 3;
        code |= v << (2 * i);
    }
    return code;
}

inline bool is_encodable(const std::string &s) {
    if (s.size() > 32) return false;
    for (char c : s)
        if (c != 'A' && c != 'C' && c != 'G' && c != 'T') return false;
    return true;
}

// References aimed at the index's boundaries: a few seeds of boundary
// lengths, their mutants at 0 to 3 edits (some with N, lower case, 0x00,
// 0xFF), homopolymers, exact duplicates and the empty reference.
inline std::vector<oracle::seq> near_neighbour_refs(velmora_test::rng &g, size_t n_seeds,
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
inline std::vector<oracle::seq> near_neighbour_queries(velmora_test::rng &g,
                                                       const std::vector<oracle::seq> &refs,
                                                       size_t n, size_t max_len = 40) {
    std::vector<oracle::seq> qs;
    for (size_t i = 0; i < n; ++i) {
        const unsigned pick = static_cast<unsigned>(g.range(0, 99));
        oracle::seq q;
        if (pick < 3) {
            q.null_ptr = true;
            q.claimed_len = 0;
        } else if (pick < 5) {
            q.null_ptr = true;
            q.claimed_len = g.range(1, 40);
        } else if (pick < 15 || refs.empty()) {
            q.bytes = g.chance(50) ? g.dna(g.boundary_len(max_len)) : g.noisy(g.boundary_len(max_len), 10);
        } else {
            const std::string &r = refs[g.range(0, refs.size() - 1)].bytes;
            q.bytes = g.mutate(r, static_cast<unsigned>(g.range(0, 3)), g.chance(15) ? 30 : 0);
        }
        qs.push_back(q);
    }
    return qs;
}

}  // namespace assign_test

#endif
