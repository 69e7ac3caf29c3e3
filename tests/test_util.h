// What the gtest binaries add to the shared generators: record comparison and
// printing, an index owned with its references, and poisoned outputs.
#ifndef VELMORA_TESTS_TEST_UTIL_H
#define VELMORA_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "gen.h"

inline bool operator==(const vorn_match &a, const vorn_match &b) { return velmora_test::same(a, b); }
inline std::ostream &operator<<(std::ostream &os, const vorn_match &m) {
    return os << "{best_index=" << m.best_index << " best=" << m.best_distance
              << " second=" << m.second_distance << " hits=" << m.hit_count
              << " status=" << m.status << "}";
}
inline bool operator==(const vorn_assignment &a, const vorn_assignment &b) {
    return velmora_test::same(a, b);
}
inline std::ostream &operator<<(std::ostream &os, const vorn_assignment &m) {
    return os << "{best_index=" << m.best_index << " best=" << m.best_distance
              << " second=" << m.second_distance << " best_count=" << m.best_count
              << " hits=" << m.hit_count << " status=" << m.status << " class=" << m.edit_class
              << "}";
}
inline bool operator==(const vorn_stats &a, const vorn_stats &b) {
    return a.candidates == b.candidates && a.verifications == b.verifications;
}
inline std::ostream &operator<<(std::ostream &os, const vorn_stats &s) {
    return os << "{candidates=" << s.candidates << " verifications=" << s.verifications << "}";
}
inline bool operator==(const vorn_hit &a, const vorn_hit &b) {
    return a.ref_index == b.ref_index && a.distance == b.distance;
}
inline std::ostream &operator<<(std::ostream &os, const vorn_hit &h) {
    return os << "(" << h.ref_index << "," << h.distance << ")";
}

namespace velmora_test {

// An index owned together with the references it was built from.
struct built_index {
    std::vector<oracle::seq> refs;
    seq_batch batch;
    vorn_index *index = nullptr;

    // A list of one length with an even number of references is built from
    // one block of its bytes, any other through the pointer arrays, so that
    // both builds meet every differential test.
    explicit built_index(const std::vector<oracle::seq> &r, uint32_t flags = VORN_INDEX_ALL)
        : refs(r), batch(r) {
        bool one_length = !r.empty() && r.size() % 2 == 0;
        std::string block;
        for (const oracle::seq &s : r) {
            one_length = one_length && s.bytes.size() == r[0].bytes.size();
            block += s.bytes;
        }
        index = one_length ? vorn_index_build_block(reinterpret_cast<const uint8_t *>(block.data()),
                                                    r[0].bytes.size(), r.size(), flags)
                           : vorn_index_build_opts(batch.ptrs(), batch.lens(), batch.size(), flags);
    }
    explicit built_index(const std::vector<std::string> &r) : built_index(as_seqs(r)) {}
    ~built_index() { vorn_index_free(index); }
    built_index(const built_index &) = delete;
    built_index &operator=(const built_index &) = delete;
};

// An output filled with a byte pattern, to see that a rejected call wrote nothing.
template <class T>
T poisoned() {
    T v;
    std::memset(&v, 0xA5, sizeof v);
    return v;
}

}  // namespace velmora_test

#endif
