// Whitelist loading and index construction.
#include "whitelist.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "io.h"
#include "base.h"

namespace velmora_pipeline {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

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

// The distinct entries seen so far, by content: open addressing over entry
// numbers, 4 bytes a slot, at most half full.
class entry_table {
public:
    // The entry equal to the last one of wl, or SIZE_MAX (and the last one
    // is recorded) when it is new.
    size_t find_or_add_last(const whitelist &wl) {
        const size_t last = wl.size() - 1;
        if (2 * (last + 1) > slots_.size()) grow(wl);
        const std::string_view e = wl.entry(last);
        for (size_t i = std::hash<std::string_view>()(e) & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i] == 0) {
                slots_[i] = static_cast<uint32_t>(last + 1);
                return SIZE_MAX;
            }
            if (wl.entry(slots_[i] - 1) == e) return slots_[i] - 1;
        }
    }

private:
    void grow(const whitelist &wl) {
        std::vector<uint32_t> old = std::move(slots_);
        slots_.assign(std::max<size_t>(1024, 2 * old.size()), 0);
        for (const uint32_t s : old) {
            if (s == 0) continue;
            size_t i = std::hash<std::string_view>()(wl.entry(s - 1)) & (slots_.size() - 1);
            while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = s;
        }
    }
    std::vector<uint32_t> slots_;
};

}  // namespace

whitelist load_whitelist(const std::string &path, const whitelist_reading &how) {
    line_reader in(path, "whitelist", how.max_line_length, false, how.fd);
    whitelist wl;
    wl.offsets.push_back(0);
    entry_table seen;
    std::string_view raw;
    while (in.next(&raw)) {
        const std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#') continue;
        bool lower = false;
        for (const char ch : line) {
            const unsigned char c = static_cast<unsigned char>(ch);
            if (!is_sequence_byte(c))
                throw data_error("whitelist '" + path + "' line " + std::to_string(in.line_number()) +
                                 ": not a sequence: " + quoted_excerpt(line));
            lower = lower || (c >= 'a' && c <= 'z');
        }
        ++wl.listed;
        wl.lower_case_entries += lower;
        const size_t at = wl.bytes.size();
        wl.bytes.append(line);
        if (how.fold_case && lower)
            for (size_t i = at; i < wl.bytes.size(); ++i)
                if (wl.bytes[i] >= 'a' && wl.bytes[i] <= 'z') wl.bytes[i] = static_cast<char>(wl.bytes[i] - 32);
        wl.offsets.push_back(wl.bytes.size());
        const size_t earlier = seen.find_or_add_last(wl);
        if (earlier != SIZE_MAX) {
            wl.bytes.resize(at);
            wl.offsets.pop_back();
            ++wl.repeats_dropped;
            if (how.count_multiplicity) ++wl.multiplicity[earlier];
            continue;
        }
        if (wl.size() > 0x7FFFFFFFu)
            throw data_error("whitelist '" + path + "' has more than 2147483647 distinct entries");
        if (how.count_multiplicity) wl.multiplicity.push_back(1);
    }
    if (wl.size() == 0) throw data_error("whitelist '" + path + "' has no entries");
    return wl;
}

vorn_index *build_index(const std::vector<const uint8_t *> &ptrs, const std::vector<size_t> &lens,
                        uint32_t flags) {
    vorn_index *index = vorn_index_build_opts(ptrs.data(), lens.data(), ptrs.size(), flags);
    if (!index) throw data_error("cannot build the whitelist index: out of memory");
    return index;
}

}  // namespace velmora_pipeline
