// Every index entry point against brute force (differential.h), on an index
// built from the fuzzer's references (mostly A/C/G/T near neighbors and
// duplicates, with N, lower case and arbitrary bytes, lengths 0 to 40), with
// or without the optional tables, beside an index of the other tables.
#include <cstdint>
#include <vector>

#include "differential.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::input in(data, size);
    std::vector<oracle::seq> refs, queries;
    const size_t n_refs = in.below(25);
    const size_t n_queries = 1 + in.below(8);
    // References are never null here (a null one makes the build fail, which
    // the first byte after the counts can ask for instead).
    const bool broken_ref = in.byte() == 0xEE && n_refs > 0;
    for (size_t i = 0; i < n_refs; ++i) refs.push_back(in.sequence(refs, 40, false));
    // Now and then a crowd of copies of one reference, so that queries meet
    // more than 128 distinct candidates and the paths' sets move to the heap.
    const uint8_t crowd = in.byte();
    if (crowd >= 224 && n_refs > 0) {
        const oracle::seq copy = refs[in.below(static_cast<uint32_t>(n_refs))];
        refs.insert(refs.end(), 100 + (crowd - 224) * 8u, copy);
    }
    for (size_t i = 0; i < n_queries; ++i) queries.push_back(in.sequence(refs, 40));

    fuzz::batch r(refs);
    if (broken_ref) {
        std::vector<const uint8_t *> ptrs(r.ptrs(), r.ptrs() + n_refs);
        std::vector<size_t> lens(r.lens(), r.lens() + n_refs);
        const size_t at = in.below(static_cast<uint32_t>(n_refs));
        ptrs[at] = nullptr;
        if (lens[at] == 0) lens[at] = 1;
        if (vorn_index_build(ptrs.data(), lens.data(), n_refs) != nullptr)
            fuzz::fail("vorn_index_build accepted a null reference", refs, queries);
        return 0;
    }
    // Read last, so that older corpus inputs keep their meaning.
    velmora_test::index_check check(refs, queries, in.byte() & 3u);
    vorn_index *index = vorn_index_build_opts(r.ptrs(), r.lens(), r.size(), check.flags);
    vorn_index *other = vorn_index_build_opts(r.ptrs(), r.lens(), r.size(), check.flags ^ 3u);
    if (index == nullptr || other == nullptr) fuzz::fail("vorn_index_build_opts failed", refs, queries);
    check.index = index;
    check.other = other;
    check.all();
    vorn_index_free(other);
    vorn_index_free(index);
    return 0;
}
