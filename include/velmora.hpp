/*
 * velmora.hpp - header-only C++17 interface to libvelmora.
 *
 * A thin layer over velmora.h: every call below is one call of the C
 * function of the same name, with the whole batch passed at once (a hit
 * listing or a read's decision calls once more when its hits did not fit).
 * The records are the C records themselves (vorn_match, vorn_assignment,
 * vorn_stats, vorn_hit, vorn_rescue_result), so results compare field by
 * field with the C calls.
 *
 *   velmora::Index index(std::vector<std::string>{"ACGTACGT", "ACGTTCGT"});
 *   std::vector<vorn_match> r = index.assign({"ACGTACGA", "TTTT"}, 1);
 *   if (velmora::status_of(r[0]) == velmora::Status::unique) use(r[0].best_index);
 *
 * Sequences.  A sequence is anything velmora::ByteView is built from: a
 * std::string_view, a std::string, a NUL-terminated const char *, or any
 * contiguous container of one-byte elements (std::vector<std::uint8_t>,
 * std::array<char, N>, std::vector<std::byte>, std::span<const std::uint8_t>,
 * ...).  A batch (velmora::Sequences) is built implicitly from any range of
 * such sequences or from a braced list; it only points into the caller's
 * storage, which must outlive the call.  A range whose elements are produced
 * by value as owning objects (a view yielding std::string temporaries) is
 * refused at compile time because its bytes would be gone before the call.
 *
 * Errors are C++ exceptions; nothing is reported through return codes:
 *
 *   std::invalid_argument  an argument the library would refuse: k < 0,
 *                          a Hamming k outside 0..3, more than 0x7FFFFFFF
 *                          references, a sequence longer than 0x7FFFFFFF
 *                          bytes given to a distance function, a reference
 *                          or a distance operand with a null pointer and a
 *                          nonzero length, an unknown metric or table flag,
 *                          a read whose qualities are of another length,
 *                          decision parameters or counts vorn_rescue_read
 *                          would refuse;
 *   std::bad_alloc         the library ran out of memory (index build, a
 *                          distance between two sequences over 512 bytes,
 *                          a hit listing or a read's decision);
 *   std::logic_error       a call on an empty (default-constructed or
 *                          moved-from) Index;
 *   velmora::Error         the library refused a call that passed the checks
 *                          above (a library fault; never expected).
 *
 * A problem with a single query is not an error: as in C, that query's
 * record says VORN_STATUS_INVALID (a query with a null pointer and a nonzero
 * length) and the other records are filled.
 *
 * Thread safety is that of the C library: an Index is read-only once built,
 * so any number of threads may call its const members at once; moving from
 * or destroying it must not overlap with those calls.
 */
#ifndef VELMORA_HPP
#define VELMORA_HPP

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "velmora.h"

namespace velmora {

/* The one version of the library these declarations belong to. */
inline constexpr int version_major = VELMORA_VERSION_MAJOR;
inline constexpr int version_minor = VELMORA_VERSION_MINOR;
inline constexpr int version_patch = VELMORA_VERSION_PATCH;

/* Value of best_index, best_distance and second_distance when absent. */
inline constexpr std::uint32_t absent = UINT32_MAX;

enum class Status : std::uint32_t {
    none = VORN_STATUS_NONE,
    unique = VORN_STATUS_UNIQUE,
    ambiguous = VORN_STATUS_AMBIGUOUS,
    invalid = VORN_STATUS_INVALID,
};

enum class EditClass : std::uint32_t {
    none = VORN_EDIT_NONE,
    exact = VORN_EDIT_EXACT,
    substitution = VORN_EDIT_SUBSTITUTION,
    insertion = VORN_EDIT_INSERTION,
    deletion = VORN_EDIT_DELETION,
    two = VORN_EDIT_TWO,
    other = VORN_EDIT_OTHER,
    invalid = VORN_EDIT_INVALID,
};

inline constexpr Status status_of(const vorn_match &m) noexcept { return Status{m.status}; }
inline constexpr Status status_of(const vorn_assignment &a) noexcept { return Status{a.status}; }
inline constexpr EditClass edit_class_of(const vorn_assignment &a) noexcept {
    return EditClass{a.edit_class};
}

/* How a hit listing or a read's decision measures distance. */
enum class Metric : std::uint32_t {
    edit = VORN_METRIC_EDIT,        /* Levenshtein, any k >= 0 */
    hamming = VORN_METRIC_HAMMING,  /* substitutions only, 0 <= k <= 3 */
};

/* Tables an index build may leave out (combine with |). */
enum class Tables : std::uint32_t {
    all = VORN_INDEX_ALL,
    no_deletion = VORN_INDEX_NO_DELETION,
    no_pieces = VORN_INDEX_NO_PIECES,
};
inline constexpr Tables operator|(Tables a, Tables b) noexcept {
    return Tables{static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b)};
}

/* The decision for one read (Index::rescue_read): the C result and every
 * reference within the bound, in vorn_index_hits order. */
struct Decision {
    vorn_rescue_result result;
    std::vector<vorn_hit> hits;
};

/* The default decision parameters (edit metric, k = 1, posterior). */
inline vorn_rescue_params rescue_params() noexcept {
    vorn_rescue_params p{};
    vorn_rescue_params_default(&p);
    return p;
}

/* How the exact lookup compares letters. */
enum class LetterCase { sensitive, ignore_ascii };

/* The library refused a call that the wrapper had checked. */
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/* Largest reference count and distance operand length the library accepts. */
inline constexpr std::size_t max_count = 0x7FFFFFFF;

namespace detail {

/* A contiguous container of one-byte elements: std::vector<std::uint8_t>,
 * std::array<char, N>, std::span<const std::byte>, ... */
template <class T, class = void>
struct is_byte_container : std::false_type {};
template <class T>
struct is_byte_container<T, std::void_t<decltype(std::data(std::declval<const T &>())),
                                        decltype(std::size(std::declval<const T &>()))>>
    : std::bool_constant<
          sizeof(std::remove_pointer_t<decltype(std::data(std::declval<const T &>()))>) == 1 &&
          std::is_trivially_copyable_v<
              std::remove_pointer_t<decltype(std::data(std::declval<const T &>()))>>> {};

}  // namespace detail

/* A byte sequence the caller owns: pointer and length. */
struct ByteView {
    const std::uint8_t *data = nullptr;
    std::size_t size = 0;

    constexpr ByteView() noexcept = default;
    constexpr ByteView(const std::uint8_t *d, std::size_t n) noexcept : data(d), size(n) {}
    ByteView(std::string_view s) noexcept
        : data(reinterpret_cast<const std::uint8_t *>(s.data())), size(s.size()) {}
    ByteView(const std::string &s) noexcept : ByteView(std::string_view(s)) {}
    /* A NUL-terminated string; a null pointer is the empty sequence. */
    ByteView(const char *s) noexcept
        : ByteView(s != nullptr ? std::string_view(s) : std::string_view()) {}
    /* Any other contiguous container of one-byte elements (not a built-in
     * array: a string literal is taken up to its NUL, by the constructor
     * above). */
    template <class C,
              std::enable_if_t<detail::is_byte_container<C>::value && !std::is_array_v<C> &&
                                   !std::is_convertible_v<const C &, std::string_view>,
                               int> = 0>
    ByteView(const C &c) noexcept
        : data(reinterpret_cast<const std::uint8_t *>(std::data(c))),
          size(static_cast<std::size_t>(std::size(c))) {}

    /* Null pointer with a nonzero length: what the library calls invalid. */
    constexpr bool invalid() const noexcept { return data == nullptr && size != 0; }
};

namespace detail {

/* Whether one element of a batch can be seen as a ByteView. */
template <class T>
inline constexpr bool is_sequence_v =
    std::is_convertible_v<const T &, ByteView> || is_byte_container<T>::value;

template <class T>
ByteView as_bytes(const T &s) noexcept {
    if constexpr (std::is_convertible_v<const T &, ByteView>) {
        return ByteView(s);
    } else {
        return ByteView(reinterpret_cast<const std::uint8_t *>(std::data(s)),
                        static_cast<std::size_t>(std::size(s)));
    }
}

template <class R>
using range_reference_t = decltype(*std::begin(std::declval<const R &>()));

template <class R, class = void>
struct is_sequence_range : std::false_type {};
template <class R>
struct is_sequence_range<
    R, std::void_t<range_reference_t<R>, decltype(std::end(std::declval<const R &>()))>>
    : std::bool_constant<
          is_sequence_v<std::remove_cv_t<std::remove_reference_t<range_reference_t<R>>>>> {};

/* Elements handed out by value must be views (trivially copyable, like
 * std::string_view or ByteView); an owning temporary would die before the
 * library reads it. */
template <class R>
inline constexpr bool keeps_bytes_alive_v =
    std::is_lvalue_reference_v<range_reference_t<R>> ||
    std::is_trivially_copyable_v<std::remove_cv_t<std::remove_reference_t<range_reference_t<R>>>>;

[[noreturn]] inline void refuse(const char *what) { throw std::invalid_argument(what); }

inline void check_k(std::int32_t k) {
    if (k < 0) refuse("velmora: k must not be negative");
}

inline void check_metric(std::uint32_t metric, std::int32_t k) {
    if (metric == VORN_METRIC_EDIT) {
        check_k(k);
    } else if (metric == VORN_METRIC_HAMMING) {
        if (k < 0 || k > 3) refuse("velmora: Hamming k must be 0, 1, 2 or 3");
    } else {
        refuse("velmora: unknown metric");
    }
}

inline void check_query(ByteView s) {
    if (s.invalid()) refuse("velmora: sequence has a null pointer and a nonzero length");
}

/* What vorn_rescue_read would refuse, as std::invalid_argument. */
inline void check_rescue(const vorn_rescue_params &p, std::size_t n_counts, std::size_t n_refs) {
    check_metric(p.metric, p.k);
    if (p.fixed_window > 1 || p.rescue > 1) refuse("velmora: fixed_window and rescue are 0 or 1");
    if (p.rescue == 0) return;
    if (n_counts != n_refs) refuse("velmora: one exact count per reference is needed");
    const auto finite_non_negative = [](double v) {
        return v >= 0.0 && v <= std::numeric_limits<double>::max();
    };
    if (!finite_non_negative(p.prior_pseudocount) || !finite_non_negative(p.indel_weight))
        refuse("velmora: prior_pseudocount and indel_weight must be finite and >= 0");
    if (!(p.min_posterior >= 0.0 && p.min_posterior <= 1.0))
        refuse("velmora: min_posterior must lie in 0..1");
}

inline void check_operand(ByteView s) {
    if (s.invalid()) refuse("velmora: sequence has a null pointer and a nonzero length");
    if (s.size > max_count) refuse("velmora: sequence longer than 0x7FFFFFFF bytes");
}

/* UINT32_MAX from a distance function whose operands passed check_operand
 * can only mean the dynamic-programming rows could not be allocated. */
inline std::uint32_t distance_or_throw(std::uint32_t d) {
    if (d == UINT32_MAX) throw std::bad_alloc();
    return d;
}

inline void check_rc(std::int32_t rc, const char *function) {
    if (rc != 0) throw Error(std::string("velmora: ") + function + " refused its arguments");
}

/* Calls fill(buffer, capacity, &n) with a buffer that grows until every hit
 * fits; -2 is std::bad_alloc. */
template <class Fill>
std::vector<vorn_hit> collect_hits(Fill fill, const char *function) {
    std::vector<vorn_hit> out(8);
    for (;;) {
        std::size_t n = 0;
        const std::int32_t rc = fill(out.data(), out.size(), &n);
        if (rc == -2) throw std::bad_alloc();
        check_rc(rc, function);
        const bool complete = n <= out.size();
        out.resize(n);
        if (complete) return out;
    }
}

}  // namespace detail

/*
 * A batch of sequences: parallel arrays of pointers and lengths, as the C
 * calls take them.  It points into the caller's storage.
 */
class Sequences {
public:
    Sequences() = default;
    Sequences(std::initializer_list<ByteView> seqs) {
        ptrs_.reserve(seqs.size());
        lens_.reserve(seqs.size());
        for (const ByteView &s : seqs) push_back(s);
    }
    template <class Range, std::enable_if_t<!std::is_same_v<std::decay_t<Range>, Sequences> &&
                                                detail::is_sequence_range<Range>::value,
                                            int> = 0>
    Sequences(const Range &seqs) {  // NOLINT: implicit on purpose, batches convert
        static_assert(detail::keeps_bytes_alive_v<Range>,
                      "velmora::Sequences: the range yields owning temporaries; "
                      "materialise them in a container first");
        for (const auto &s : seqs) push_back(detail::as_bytes(s));
    }

    void push_back(ByteView s) {
        ptrs_.push_back(s.data);
        lens_.push_back(s.size);
    }
    std::size_t size() const noexcept { return ptrs_.size(); }
    bool empty() const noexcept { return ptrs_.empty(); }
    ByteView operator[](std::size_t i) const noexcept { return ByteView(ptrs_[i], lens_[i]); }
    const std::uint8_t *const *pointers() const noexcept { return ptrs_.data(); }
    const std::size_t *lengths() const noexcept { return lens_.data(); }

private:
    std::vector<const std::uint8_t *> ptrs_;
    std::vector<std::size_t> lens_;
};

namespace detail {

/* Result storage for a batch.  The C calls refuse a null result array even
 * for an empty batch, so an empty batch writes into a local record. */
template <class Record>
struct batch_out {
    std::vector<Record> records;
    Record spare{};
    explicit batch_out(std::size_t n) : records(n) {}
    Record *data() noexcept { return records.empty() ? &spare : records.data(); }
};

}  // namespace detail

/*
 * The reference index: built once from a batch of references (copied, so
 * the caller's buffers may go away afterwards) and released by the
 * destructor.  Move-only.
 */
class Index {
public:
    /* An empty handle: every query member throws std::logic_error. */
    Index() noexcept = default;

    explicit Index(const Sequences &references) : Index(references, Tables::all) {}
    /* An index without some tables (vorn_index_build_opts): less memory,
     * the same records by slower routes. */
    Index(const Sequences &references, Tables tables) {
        const auto flags = static_cast<std::uint32_t>(tables);
        if ((flags & ~(VORN_INDEX_NO_DELETION | VORN_INDEX_NO_PIECES)) != 0)
            detail::refuse("velmora: unknown index table flags");
        if (references.size() > max_count)
            detail::refuse("velmora: more than 0x7FFFFFFF references");
        for (std::size_t i = 0; i < references.size(); ++i)
            if (references[i].invalid())
                detail::refuse("velmora: reference with a null pointer and a nonzero length");
        handle_ = vorn_index_build_opts(references.pointers(), references.lengths(),
                                        references.size(), flags);
        if (handle_ == nullptr) throw std::bad_alloc();
        size_ = references.size();
    }
    Index(std::initializer_list<ByteView> references) : Index(Sequences(references)) {}

    Index(const Index &) = delete;
    Index &operator=(const Index &) = delete;
    Index(Index &&other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Index &operator=(Index &&other) noexcept {
        if (this != &other) {
            vorn_index_free(handle_);
            handle_ = std::exchange(other.handle_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~Index() { vorn_index_free(handle_); }

    explicit operator bool() const noexcept { return handle_ != nullptr; }
    /* Number of references. */
    std::size_t size() const noexcept { return size_; }
    const vorn_index *native_handle() const noexcept { return handle_; }
    /* Gives up ownership; the caller then frees with vorn_index_free. */
    vorn_index *release() noexcept {
        size_ = 0;
        return std::exchange(handle_, nullptr);
    }

    /* Edit-distance assignment, up to k edits: the records vorn_match_many
     * would give over the same references. */
    std::vector<vorn_match> assign(const Sequences &queries, std::int32_t k) const {
        return assign_impl(queries, k, nullptr, vorn_index_assign_stats, "vorn_index_assign_stats");
    }
    std::vector<vorn_match> assign(const Sequences &queries, std::int32_t k,
                                   vorn_stats &stats) const {
        return assign_impl(queries, k, &stats, vorn_index_assign_stats, "vorn_index_assign_stats");
    }
    /* Status-only form: for k = 1 and 2 a query's search may stop at the
     * second reference found at the best distance so far (see velmora.h). */
    std::vector<vorn_match> assign_status(const Sequences &queries, std::int32_t k) const {
        return assign_impl(queries, k, nullptr, vorn_index_assign_status_stats,
                           "vorn_index_assign_status_stats");
    }
    std::vector<vorn_match> assign_status(const Sequences &queries, std::int32_t k,
                                          vorn_stats &stats) const {
        return assign_impl(queries, k, &stats, vorn_index_assign_status_stats,
                           "vorn_index_assign_status_stats");
    }

    /* Hamming assignment, 0 <= k <= 3 substitutions. */
    std::vector<vorn_match> assign_hamming(const Sequences &queries, std::int32_t k) const {
        return hamming_impl(queries, k, nullptr);
    }
    std::vector<vorn_match> assign_hamming(const Sequences &queries, std::int32_t k,
                                           vorn_stats &stats) const {
        return hamming_impl(queries, k, &stats);
    }

    /* References identical to each query (ignoring ASCII letter case on
     * request). */
    std::vector<vorn_match> lookup_exact(const Sequences &queries,
                                         LetterCase letters = LetterCase::sensitive) const {
        return lookup_impl(queries, letters, nullptr);
    }
    std::vector<vorn_match> lookup_exact(const Sequences &queries, LetterCase letters,
                                         vorn_stats &stats) const {
        return lookup_impl(queries, letters, &stats);
    }
    vorn_match lookup_exact_one(ByteView query, LetterCase letters = LetterCase::sensitive) const {
        return lookup_one_impl(query, letters, nullptr);
    }
    vorn_match lookup_exact_one(ByteView query, LetterCase letters, vorn_stats &stats) const {
        return lookup_one_impl(query, letters, &stats);
    }

    /* Every reference within k of query, ascending (distance, position). */
    std::vector<vorn_hit> hits(ByteView query, std::int32_t k, Metric metric = Metric::edit) const {
        const vorn_index *ix = checked();
        const auto m = static_cast<std::uint32_t>(metric);
        detail::check_metric(m, k);
        detail::check_query(query);
        return detail::collect_hits(
            [&](vorn_hit *h, std::size_t cap, std::size_t *n) {
                return vorn_index_hits(ix, query.data, query.size, m, k, h, cap, n);
            },
            "vorn_index_hits");
    }

    /* The decision for one read (vorn_rescue_read): read from the barcode's
     * first base on, quals one byte per read byte or empty for none,
     * exact_counts one per reference (may be empty when params.rescue is 0). */
    Decision rescue_read(ByteView read, ByteView quals, std::size_t window_len,
                         const std::vector<std::uint64_t> &exact_counts,
                         const vorn_rescue_params &params = rescue_params()) const {
        const vorn_index *ix = checked();
        detail::check_query(read);
        detail::check_query(quals);
        if (quals.size != 0 && quals.size != read.size)
            detail::refuse("velmora: one quality byte per read byte, or none");
        detail::check_rescue(params, exact_counts.size(), size_);
        const std::uint8_t *q = quals.size != 0 ? quals.data : nullptr;
        Decision d{};
        d.hits = detail::collect_hits(
            [&](vorn_hit *h, std::size_t cap, std::size_t *n) {
                return vorn_rescue_read(ix, read.data, q, read.size, window_len,
                                        exact_counts.data(), exact_counts.size(), &params, h, cap,
                                        n, &d.result);
            },
            "vorn_rescue_read");
        return d;
    }

private:
    using assign_fn = std::int32_t (*)(const vorn_index *, const std::uint8_t *const *,
                                       const std::size_t *, std::size_t, std::int32_t, vorn_match *,
                                       vorn_stats *) VORN_NOEXCEPT;

    const vorn_index *checked() const {
        if (handle_ == nullptr) throw std::logic_error("velmora::Index: empty (moved-from) index");
        return handle_;
    }

    std::vector<vorn_match> assign_impl(const Sequences &q, std::int32_t k, vorn_stats *stats,
                                        assign_fn fn, const char *name) const {
        const vorn_index *ix = checked();
        detail::check_k(k);
        detail::batch_out<vorn_match> out(q.size());
        detail::check_rc(fn(ix, q.pointers(), q.lengths(), q.size(), k, out.data(), stats), name);
        return std::move(out.records);
    }

    std::vector<vorn_match> hamming_impl(const Sequences &q, std::int32_t k,
                                         vorn_stats *stats) const {
        const vorn_index *ix = checked();
        if (k < 0 || k > 3) detail::refuse("velmora: Hamming k must be 0, 1, 2 or 3");
        detail::batch_out<vorn_match> out(q.size());
        detail::check_rc(vorn_index_assign_hamming_stats(ix, q.pointers(), q.lengths(), q.size(), k,
                                                         out.data(), stats),
                         "vorn_index_assign_hamming_stats");
        return std::move(out.records);
    }

    std::vector<vorn_match> lookup_impl(const Sequences &q, LetterCase letters,
                                        vorn_stats *stats) const {
        const vorn_index *ix = checked();
        detail::batch_out<vorn_match> out(q.size());
        const bool fold = letters == LetterCase::ignore_ascii;
        const std::int32_t rc =
            fold ? vorn_index_lookup_exact_ascii_many_stats(ix, q.pointers(), q.lengths(), q.size(),
                                                            out.data(), stats)
                 : vorn_index_lookup_exact_many_stats(ix, q.pointers(), q.lengths(), q.size(),
                                                      out.data(), stats);
        detail::check_rc(rc, "vorn_index_lookup_exact_many_stats");
        return std::move(out.records);
    }

    vorn_match lookup_one_impl(ByteView query, LetterCase letters, vorn_stats *stats) const {
        const vorn_index *ix = checked();
        vorn_match m{};
        const std::int32_t rc =
            letters == LetterCase::ignore_ascii
                ? vorn_index_lookup_exact_ascii_stats(ix, query.data, query.size, &m, stats)
                : vorn_index_lookup_exact_stats(ix, query.data, query.size, &m, stats);
        detail::check_rc(rc, "vorn_index_lookup_exact_stats");
        return m;
    }

    vorn_index *handle_ = nullptr;
    std::size_t size_ = 0;
};

/* ------------------------------------------------------------------------
 * Pairwise distance and brute-force matching (no index)
 * ------------------------------------------------------------------------ */

inline std::string_view alphabet_policy() noexcept { return vorn_alphabet_policy(); }

inline std::uint32_t edit_distance(ByteView a, ByteView b) {
    detail::check_operand(a);
    detail::check_operand(b);
    return detail::distance_or_throw(vorn_edit_distance(a.data, a.size, b.data, b.size));
}
inline std::uint32_t edit_distance_dp(ByteView a, ByteView b) {
    detail::check_operand(a);
    detail::check_operand(b);
    return detail::distance_or_throw(vorn_edit_distance_dp(a.data, a.size, b.data, b.size));
}
inline std::uint32_t edit_distance_myers64(ByteView a, ByteView b) {
    detail::check_operand(a);
    detail::check_operand(b);
    return detail::distance_or_throw(vorn_edit_distance_myers64(a.data, a.size, b.data, b.size));
}
/* Whether the edit distance is at most k (false for every k < 0). */
inline bool edit_distance_leq(ByteView a, ByteView b, std::int32_t k) {
    detail::check_operand(a);
    detail::check_operand(b);
    const std::int32_t r = vorn_edit_distance_leq(a.data, a.size, b.data, b.size, k);
    if (r < 0) throw std::bad_alloc();
    return r == 1;
}

/* Every query against every reference.  A reference with a null pointer and
 * a nonzero length makes each valid query VORN_STATUS_INVALID, as in C. */
inline std::vector<vorn_match> match_many(const Sequences &queries, const Sequences &references,
                                          std::int32_t k) {
    detail::check_k(k);
    if (references.size() > max_count) detail::refuse("velmora: more than 0x7FFFFFFF references");
    detail::batch_out<vorn_match> out(queries.size());
    detail::check_rc(vorn_match_many(queries.pointers(), queries.lengths(), queries.size(),
                                     references.pointers(), references.lengths(), references.size(),
                                     k, out.data()),
                     "vorn_match_many");
    return std::move(out.records);
}

/* match_many with best_count and the edit class; with require_single_hit a
 * query is ambiguous as soon as two references lie within k. */
inline std::vector<vorn_assignment> assign_many(const Sequences &queries,
                                                const Sequences &references, std::int32_t k,
                                                bool require_single_hit = false) {
    detail::check_k(k);
    if (references.size() > max_count) detail::refuse("velmora: more than 0x7FFFFFFF references");
    detail::batch_out<vorn_assignment> out(queries.size());
    detail::check_rc(
        vorn_assign_many(queries.pointers(), queries.lengths(), queries.size(),
                         references.pointers(), references.lengths(), references.size(), k,
                         require_single_hit ? 1u : 0u, out.data()),
        "vorn_assign_many");
    return std::move(out.records);
}

}  // namespace velmora

#endif /* VELMORA_HPP */
