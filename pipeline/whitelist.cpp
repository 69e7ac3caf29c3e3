// Whitelist loading and index construction.
#include "whitelist.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <utility>

#include "io.h"
#include "base.h"

namespace velmora_pipeline {

namespace {

// Shows an offending line in an error message without flooding the terminal
// or printing control bytes.
std::string quoted_excerpt(std::string_view s) {
    std::string out = "'";
    const size_t shown = s.size() > 60 ? 60 : s.size();
    for (size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f) {
            out.push_back(static_cast<char>(c));
        } else {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    if (shown < s.size()) out += "...";
    return out + "'";
}

}  // namespace

bool is_sequence_byte(unsigned char c) {
    const unsigned char u = (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c;
    switch (u) {
    case 'A': case 'C': case 'G': case 'T': case 'U': case 'N':
    case 'R': case 'Y': case 'S': case 'W': case 'K': case 'M':
    case 'B': case 'D': case 'H': case 'V':
        return true;
    default:
        return false;
    }
}

void whitelist::pointer_arrays(std::vector<const uint8_t *> *ptrs, std::vector<size_t> *lens) const {
    const size_t n = size();
    ptrs->resize(n);
    lens->resize(n);
    const uint8_t *base = reinterpret_cast<const uint8_t *>(bytes.data());
    for (size_t i = 0; i < n; ++i) {
        (*ptrs)[i] = base + offsets[i];
        (*lens)[i] = offsets[i + 1] - offsets[i];
    }
}

namespace {

// The four bases of each code byte, as text.
struct byte_bases {
    char of[256][4] = {};
    constexpr byte_bases() {
        for (int b = 0; b < 256; ++b)
            for (int i = 0; i < 4; ++i) of[b][i] = "ACGT"[(b >> (2 * i)) & 3];
    }
};
constexpr byte_bases bases_of;

// Writes the bases bases of a 2-bit code to out.
void decode_code(uint64_t code, size_t bases, char *out) {
    size_t i = 0;
    for (; i + 4 <= bases; i += 4, code >>= 8) std::memcpy(out + i, bases_of.of[code & 0xFF], 4);
    for (; i < bases; ++i, code >>= 2) out[i] = "ACGT"[code & 3];
}

}  // namespace

entry_text::entry_text(uint64_t code, size_t bases) : ext_(nullptr), len_(bases) { decode_code(code, bases, buf_); }

namespace {

// What one byte of a whitelist line is, in one table lookup: the base's
// 2-bit value, and flags.
constexpr uint8_t byte_base = 3;      // A/C/G/T: 0..3
constexpr uint8_t byte_acgt = 1 << 2;  // A, C, G or T, either case
constexpr uint8_t byte_lower = 1 << 3;
constexpr uint8_t byte_sequence = 1 << 4;  // any letter a sequence may hold
constexpr uint8_t byte_blank = 1 << 5;

struct byte_classes {
    uint8_t of[256] = {};
    constexpr byte_classes() {
        const char *iupac = "ACGTUNRYSWKMBDHV";
        for (const char *p = iupac; *p; ++p) {
            const uint8_t u = static_cast<uint8_t>(*p);
            of[u] = byte_sequence;
            of[u + 32] = byte_sequence | byte_lower;
        }
        const char *acgt = "ACGT";
        for (uint8_t b = 0; b < 4; ++b) {
            const uint8_t u = static_cast<uint8_t>(acgt[b]);
            of[u] |= static_cast<uint8_t>(byte_acgt | b);
            of[u + 32] |= static_cast<uint8_t>(byte_acgt | b);
        }
        for (const char c : {' ', '\t', '\r', '\f', '\v'}) of[static_cast<uint8_t>(c)] = byte_blank;
    }
};
constexpr byte_classes classes;

// The repeat table's slots, zeroed.  Past 2 MB they sit on huge pages
// where the system grants them: the table is probed at random, and with
// 4 KB pages nearly every probe of a large list also misses the TLB.  The
// block comes from calloc either way (aligned by hand past 2 MB), so that
// one failure path serves both sizes.
class slot_array {
public:
    slot_array() = default;
    explicit slot_array(size_t n) : n_(n) {
        constexpr size_t huge = size_t{2} << 20;
        const size_t bytes = n * sizeof(uint64_t);
        const bool large = bytes >= huge;
        // calloc: a large block comes from the system already zeroed, page
        // by page as it is first touched, with no pass over it here.
        base_ = std::calloc(large ? bytes + huge : bytes, 1);
        if (!base_) throw std::bad_alloc();
        uintptr_t at = reinterpret_cast<uintptr_t>(base_);
        if (large) {
            at = (at + huge - 1) & ~uintptr_t{huge - 1};
            madvise(reinterpret_cast<void *>(at), bytes, MADV_HUGEPAGE);
        }
        p_ = reinterpret_cast<uint64_t *>(at);
    }
    ~slot_array() { std::free(base_); }
    slot_array(const slot_array &) = delete;
    slot_array &operator=(slot_array &&o) noexcept {
        swap(o);
        return *this;
    }
    void swap(slot_array &o) noexcept {
        std::swap(base_, o.base_);
        std::swap(p_, o.p_);
        std::swap(n_, o.n_);
    }
    size_t size() const { return n_; }
    uint64_t &operator[](size_t i) { return p_[i]; }
    uint64_t *begin() { return p_; }
    uint64_t *end() { return p_ + n_; }

private:
    void *base_ = nullptr;
    uint64_t *p_ = nullptr;
    size_t n_ = 0;
};

uint64_t mix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    return x ^ (x >> 33);
}

// Builds a whitelist from its lines, one pass over the decoded bytes.  The
// list starts packed (when allowed) and moves to the bytes form at the
// first entry that does not fit it.  Repeats are found through an open
// addressed table of entry numbers, 4 bytes a slot, at most half full,
// keyed by the entry's code or bytes.
class whitelist_builder {
public:
    // expected_bytes: the list's decoded size when known (0 otherwise), from
    // which the first line sizes the repeat table and the packed list.
    whitelist_builder(const std::string &path, const whitelist_reading &how, uint64_t expected_bytes)
        : path_(path), how_(how), expected_bytes_(expected_bytes) {
        packing_ = how.compact && how.fold_case;
        wl_.offsets.push_back(0);
        slots_ = slot_array(1024);
    }

    // One line, without its newline (a CR may end it).
    void line(const char *s, size_t n, uint64_t number) {
        while (n > 0 && (classes.of[static_cast<uint8_t>(s[n - 1])] & byte_blank)) --n;
        while (n > 0 && (classes.of[static_cast<uint8_t>(*s)] & byte_blank)) ++s, --n;
        if (n == 0 || *s == '#') return;
        uint8_t all = 0xFF, any = 0;
        uint64_t code = 0;
        if (n <= 32) {
            for (size_t i = 0; i < n; ++i) {
                const uint8_t c = classes.of[static_cast<uint8_t>(s[i])];
                all &= c;
                any |= c;
                code |= static_cast<uint64_t>(c & byte_base) << (2 * i);
            }
        } else {
            for (size_t i = 0; i < n; ++i) {
                const uint8_t c = classes.of[static_cast<uint8_t>(s[i])];
                all &= c;
                any |= c;
            }
        }
        if (!(all & byte_sequence))
            throw data_error("whitelist '" + path_ + "' line " + std::to_string(number) +
                             ": not a sequence: " + quoted_excerpt(std::string_view(s, n)));
        const bool lower = any & byte_lower;
        if (++wl_.listed == 1 && expected_bytes_ != 0) size_for(expected_bytes_ / (n + 1), n);
        wl_.lower_case_entries += lower;
        if (packing_ && (!(all & byte_acgt) || n > 32 || (wl_.listed > 1 && n != length_))) unpack();
        if (packing_) {
            length_ = n;
            // Looked up a batch at a time, each slot requested as the line
            // is read: the table is far larger than the caches, and the
            // lookups would otherwise wait on memory one after another.
            const uint64_t h = mix64(code);
            __builtin_prefetch(&slots_[static_cast<size_t>(h) & (slots_.size() - 1)]);
            pending_[n_pending_++] = {code, h};
            if (n_pending_ == pending_batch) flush();
        } else {
            add_bytes(s, n, lower);
        }
    }

    whitelist finish() {
        flush();
        if (size() == 0) throw data_error("whitelist '" + path_ + "' has no entries");
        if (packing_) {
            wl_.code_bytes = bytes_per_code();
            wl_.offsets.clear();
            wl_.min_length = wl_.max_length = length_;
        } else {
            wl_.min_length = SIZE_MAX;
            for (size_t i = 0; i < size(); ++i) {
                const size_t len = wl_.offsets[i + 1] - wl_.offsets[i];
                wl_.min_length = std::min(wl_.min_length, len);
                wl_.max_length = std::max(wl_.max_length, len);
            }
        }
        wl_.packed.shrink_to_fit();
        wl_.bytes.shrink_to_fit();
        wl_.offsets.shrink_to_fit();
        return std::move(wl_);
    }

private:
    // Room for about `entries` entries before the first is added, so that
    // the table is not built and zeroed again at every doubling (on a long
    // list the zeroing of the pages is most of the reading time).  An
    // estimate from a size field the file may get wrong: capped, and the
    // table grows past it as usual.
    void size_for(uint64_t entries, size_t length) {
        constexpr uint64_t cap = uint64_t{1} << 22;
        entries = std::min(entries, cap);
        uint64_t slots = slots_.size();
        while (slots < 2 * entries + 2) slots *= 2;
        if (slots > slots_.size()) slots_ = slot_array(slots);
        if (packing_ && length <= 32) wl_.packed.reserve(entries * ((2 * length + 7) / 8));
    }

    size_t size() const { return packing_ ? count_ : wl_.offsets.size() - 1; }
    size_t bytes_per_code() const { return length_ == 0 ? 1 : (2 * length_ + 7) / 8; }
    uint64_t code_at(size_t i) const {
        uint64_t c = 0;
        const size_t w = bytes_per_code();
        const uint8_t *p = wl_.packed.data() + i * w;
        for (size_t b = w; b-- > 0;) c = c << 8 | p[b];
        return c;
    }
    std::string_view bytes_at(size_t i) const {
        return std::string_view(wl_.bytes.data() + wl_.offsets[i], wl_.offsets[i + 1] - wl_.offsets[i]);
    }
    uint64_t hash_of(size_t i) const {
        return packing_ ? mix64(code_at(i)) : std::hash<std::string_view>()(bytes_at(i));
    }

    void flush() {
        for (size_t i = 0; i < n_pending_; ++i) add_code(pending_[i].code, pending_[i].hash);
        n_pending_ = 0;
    }

    void add_code(uint64_t code, uint64_t hash) {
        const size_t slot = find(hash, [&](size_t e) { return code_at(e) == code; });
        if (repeat(slot)) return;
        const size_t w = bytes_per_code();
        for (size_t b = 0; b < w; ++b) wl_.packed.push_back(static_cast<uint8_t>(code >> (8 * b)));
        added(slot, hash);
    }

    void add_bytes(const char *s, size_t n, bool lower) {
        const size_t at = wl_.bytes.size();
        wl_.bytes.append(s, n);
        if (how_.fold_case && lower)
            for (size_t i = at; i < wl_.bytes.size(); ++i)
                if (wl_.bytes[i] >= 'a' && wl_.bytes[i] <= 'z') wl_.bytes[i] = static_cast<char>(wl_.bytes[i] - 32);
        const std::string_view e(wl_.bytes.data() + at, n);
        const uint64_t hash = std::hash<std::string_view>()(e);
        const size_t slot = find(hash, [&](size_t i) { return bytes_at(i) == e; });
        if (repeat(slot)) {
            wl_.bytes.resize(at);
            return;
        }
        wl_.offsets.push_back(wl_.bytes.size());
        added(slot, hash);
    }

    // A slot: the low half of the entry's hash, and its number + 1 (0:
    // free).  A probe reads an entry only when the hashes agree, and the
    // table doubles without hashing anything again (the slot holds the bits
    // that place it, as the table never exceeds 2^32 slots).
    static uint64_t slot_value(uint64_t hash, size_t entry) {
        return uint64_t{static_cast<uint32_t>(hash)} << 32 | (entry + 1);
    }

    // The slot holding an entry equal to the new one, or the free slot
    // where it goes.
    template <class Equal>
    size_t find(uint64_t hash, Equal equal) {
        if (2 * (size() + 1) > slots_.size()) grow();
        const size_t mask = slots_.size() - 1;
        for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
            const uint64_t v = slots_[i];
            if (static_cast<uint32_t>(v) == 0) return i;
            if ((v >> 32) == static_cast<uint32_t>(hash) && equal(static_cast<uint32_t>(v) - 1)) return i;
        }
    }

    bool repeat(size_t slot) {
        if (slots_[slot] == 0) return false;
        ++wl_.repeats_dropped;
        if (how_.count_multiplicity) ++wl_.multiplicity[static_cast<uint32_t>(slots_[slot]) - 1];
        return true;
    }

    void added(size_t slot, uint64_t hash) {
        const size_t n = size() + (packing_ ? 1 : 0);
        if (n > 0x7FFFFFFFu)
            throw data_error("whitelist '" + path_ + "' has more than 2147483647 distinct entries");
        if (packing_) count_ = n;
        slots_[slot] = slot_value(hash, n - 1);
        if (how_.count_multiplicity) wl_.multiplicity.push_back(1);
    }

    // Old slots in order go to new homes in nearly the same order: two
    // streams through memory instead of a random write per entry.
    void grow() {
        slot_array old = slot_array(2 * slots_.size());
        old.swap(slots_);
        const size_t mask = slots_.size() - 1;
        for (const uint64_t v : old) {
            if (v == 0) continue;
            size_t i = static_cast<size_t>(v >> 32) & mask;
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = v;
        }
    }

    void rehash() {
        std::fill(slots_.begin(), slots_.end(), uint64_t{0});
        const size_t mask = slots_.size() - 1, n = size();
        uint64_t h[pending_batch];
        for (size_t e0 = 0; e0 < n; e0 += pending_batch) {
            const size_t m = std::min(pending_batch, n - e0);
            for (size_t j = 0; j < m; ++j) {
                h[j] = hash_of(e0 + j);
                __builtin_prefetch(&slots_[static_cast<size_t>(h[j]) & mask]);
            }
            for (size_t j = 0; j < m; ++j) {
                size_t i = static_cast<size_t>(h[j]) & mask;
                while (slots_[i] != 0) i = (i + 1) & mask;
                slots_[i] = slot_value(h[j], e0 + j);
            }
        }
    }

    // The packed entries so far, moved to the bytes form.
    void unpack() {
        flush();
        std::string bytes;
        bytes.reserve(count_ * length_);
        for (size_t e = 0; e < count_; ++e) {
            const entry_text t(code_at(e), length_);
            bytes.append(t);
            wl_.offsets.push_back(bytes.size());
        }
        wl_.bytes = std::move(bytes);
        std::vector<uint8_t>().swap(wl_.packed);
        packing_ = false;
        rehash();
    }

    const std::string &path_;
    const whitelist_reading &how_;
    const uint64_t expected_bytes_;
    whitelist wl_;
    bool packing_ = false;
    size_t length_ = 0;  // packed: the entries' length
    size_t count_ = 0;   // packed: distinct entries
    slot_array slots_;  // a power of two, at most half full
    struct pending_code {
        uint64_t code, hash;
    };
    static constexpr size_t pending_batch = 16;
    pending_code pending_[pending_batch];
    size_t n_pending_ = 0;
};

}  // namespace

namespace {

// The decoded size of a whitelist file, when the file tells it: a plain
// file's size, or a gzip file's last member's size field (exact for the
// usual one-member file under 4 GiB); 0 for anything else (a pipe).  Read
// with pread, so a descriptor handed in keeps its offset.
uint64_t expected_list_bytes(const std::string &path, int fd) {
    const int use = fd >= 0 ? fd : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (use < 0) return 0;
    uint64_t bytes = 0;
    struct stat st;
    unsigned char head[2], tail[4];
    if (fstat(use, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 2 &&
        pread(use, head, 2, 0) == 2) {
        const auto size = static_cast<uint64_t>(st.st_size);
        if (head[0] != 0x1f || head[1] != 0x8b) {
            bytes = size;
        } else if (size >= 18 && pread(use, tail, 4, static_cast<off_t>(size - 4)) == 4) {
            bytes = uint64_t{tail[0]} | uint64_t{tail[1]} << 8 | uint64_t{tail[2]} << 16 |
                    uint64_t{tail[3]} << 24;
        }
    }
    if (fd < 0) close(use);
    return bytes;
}

}  // namespace

whitelist load_whitelist(const std::string &path, const whitelist_reading &how) {
    const uint64_t expected = expected_list_bytes(path, how.fd);
    line_reader in(path, "whitelist", how.max_line_length, false, how.fd);
    whitelist_builder b(path, how, expected);
    const size_t limit = in.max_line_length();
    uint64_t number = 0;
    std::string_view text;
    while (in.next_lines(&text, number)) {
        const char *p = text.data();
        const char *const end = p + text.size();
        while (p < end) {
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            const char *stop = nl ? nl : end;
            size_t len = static_cast<size_t>(stop - p);
            ++number;
            if (len > 0 && p[len - 1] == '\r') --len;
            if (len > limit) in.too_long(number);
            b.line(p, len, number);
            p = nl ? nl + 1 : end;
        }
    }
    return b.finish();
}

vorn_index *build_index(const whitelist &wl, uint32_t flags) {
    if (wl.is_packed()) {
        // One block of the entries' bases, without the pointer and length
        // arrays: on a list of millions this is the run's peak.
        const size_t n = wl.size(), len = wl.min_length;
        std::unique_ptr<char[]> decoded(new char[n * len]);  // every byte is written
        for (size_t i = 0; i < n; ++i) decode_code(wl.code(i), len, decoded.get() + i * len);
        vorn_index *index =
            vorn_index_build_block(reinterpret_cast<const uint8_t *>(decoded.get()), len, n, flags);
        if (!index) throw data_error("cannot build the whitelist index: out of memory");
        return index;
    }
    std::vector<const uint8_t *> ptrs;
    std::vector<size_t> lens;
    wl.pointer_arrays(&ptrs, &lens);
    return build_index(ptrs, lens, flags);
}

vorn_index *build_index(const std::vector<const uint8_t *> &ptrs, const std::vector<size_t> &lens,
                        uint32_t flags) {
    vorn_index *index = vorn_index_build_opts(ptrs.data(), lens.data(), ptrs.size(), flags);
    if (!index) throw data_error("cannot build the whitelist index: out of memory");
    return index;
}

}  // namespace velmora_pipeline
