// Whitelist loading and index construction.
#include "whitelist.h"

#include <unordered_set>
#include <utility>

#include "io.h"
#include "tool.h"

namespace velmora_tool {

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

whitelist load_whitelist(const std::string &path, uint64_t max_line_length) {
    line_reader in(path, "whitelist", max_line_length);
    whitelist wl;
    wl.offsets.push_back(0);
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
        if (wl.size() >= 0x7FFFFFFFu)
            throw data_error("whitelist '" + path + "' has more than 2147483647 entries");
        wl.lower_case_entries += lower;
        wl.bytes.append(line);
        wl.offsets.push_back(wl.bytes.size());
    }
    if (wl.size() == 0) throw data_error("whitelist '" + path + "' has no entries");
    return wl;
}

uint64_t drop_repeated_entries(whitelist *wl) {
    const size_t n = wl->size();
    std::unordered_set<std::string_view> seen;
    seen.reserve(n);
    whitelist out;
    out.offsets.reserve(n + 1);
    out.offsets.push_back(0);
    for (size_t i = 0; i < n; ++i) {
        const std::string_view e = wl->entry(i);
        if (!seen.insert(e).second) continue;
        out.bytes.append(e);
        out.offsets.push_back(out.bytes.size());
    }
    const uint64_t dropped = n - out.size();
    if (dropped == 0) return 0;
    // The views in seen point into wl->bytes, which is replaced only now.
    out.repeats_dropped = wl->repeats_dropped + dropped;
    out.lower_case_entries = wl->lower_case_entries;  // as the file held them
    *wl = std::move(out);
    return dropped;
}

vorn_index *build_index(const std::vector<const uint8_t *> &ptrs, const std::vector<size_t> &lens,
                        uint32_t flags) {
    vorn_index *index = vorn_index_build_opts(ptrs.data(), lens.data(), ptrs.size(), flags);
    if (!index) throw data_error("cannot build the whitelist index: out of memory");
    return index;
}

}  // namespace velmora_tool
