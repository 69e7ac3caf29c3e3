// velmora.hpp on its own, every member and every accepted kind of batch
// instantiated, so that the strict warning flags see all of it.
#include <array>
#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "velmora.hpp"
#if __cplusplus >= 202002L
#include <span>
#endif

namespace {

static_assert(!std::is_copy_constructible_v<velmora::Index>);
static_assert(!std::is_copy_assignable_v<velmora::Index>);
static_assert(std::is_nothrow_move_constructible_v<velmora::Index>);
static_assert(std::is_nothrow_move_assignable_v<velmora::Index>);
// A single sequence is not a batch of one-byte sequences.
static_assert(!std::is_constructible_v<velmora::Sequences, std::string>);
static_assert(!std::is_constructible_v<velmora::Sequences, std::string_view>);
static_assert(!std::is_constructible_v<velmora::Sequences, const char *>);
static_assert(!std::is_constructible_v<velmora::Sequences, std::vector<std::uint8_t>>);
static_assert(std::is_constructible_v<velmora::Sequences, std::list<std::string>>);
static_assert(std::is_constructible_v<velmora::Sequences, std::vector<std::vector<std::byte>>>);
static_assert(std::is_constructible_v<velmora::Sequences, std::array<const char *, 2>>);

}  // namespace

std::size_t velmora_hpp_strict_use(const std::vector<std::string> &refs) {
    velmora::Index index(refs);
    velmora::Index other{"ACGT", "ACGA"};
    other = std::move(index);
    vorn_stats stats{};
    std::size_t n = other.size();
    const std::vector<std::string_view> views{"ACGT"};
    const std::list<std::string> listed{"ACGT"};
    const std::vector<std::vector<std::uint8_t>> raw{{65, 67}};
    const std::array<const char *, 2> cstr{"A", "C"};
    n += other.assign(views, 1).size() + other.assign(listed, 2, stats).size();
    n += other.assign_status(raw, 1).size() + other.assign_status(cstr, 2, stats).size();
    n += other.assign_hamming({"ACGT"}, 1).size() + other.assign_hamming(views, 3, stats).size();
    n += other.lookup_exact(views).size() +
         other.lookup_exact(views, velmora::LetterCase::ignore_ascii, stats).size();
    n += other.lookup_exact_one("ACGT").hit_count +
         other.lookup_exact_one(std::string("acgt"), velmora::LetterCase::ignore_ascii, stats)
             .hit_count;
    n += velmora::edit_distance("ACGT", "AGT") + velmora::edit_distance_dp("A", "") +
         velmora::edit_distance_myers64(velmora::ByteView(), "A");
    n += velmora::edit_distance_leq("A", "C", 1) ? 1u : 0u;
    n += velmora::edit_distance(raw[0], std::array<char, 2>{'A', 'C'}) +
         other.lookup_exact_one(raw[0]).hit_count;
    n += velmora::match_many(views, refs, 1).size() +
         velmora::assign_many(raw, refs, 2, true).size();
    n += velmora::alphabet_policy().size();
    n += static_cast<std::size_t>(velmora::status_of(vorn_match{}) == velmora::Status::none);
    n += static_cast<std::size_t>(velmora::edit_class_of(vorn_assignment{}) ==
                                  velmora::EditClass::none);
#if __cplusplus >= 202002L
    const std::vector<std::span<const std::uint8_t>> spans{raw[0]};
    n += other.assign(spans, 1).size();
#endif
    const velmora::Index lean(refs, velmora::Tables::no_deletion | velmora::Tables::no_pieces);
    n += lean.hits("ACGT", 1).size() + lean.hits(views[0], 2, velmora::Metric::hamming).size();
    const std::vector<std::uint64_t> counts(refs.size(), 1);
    const velmora::Decision d = lean.rescue_read("ACGTAC", "IIIIII", 4, counts);
    n += d.hits.size() + d.result.hit_count;
    n += lean.rescue_read(raw[0], {}, 2, counts, velmora::rescue_params()).hits.size();
    vorn_index_free(other.release());
    return n;
}
