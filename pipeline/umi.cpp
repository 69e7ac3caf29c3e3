#include "umi.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace velmora_pipeline {

bool umi_code(std::string_view umi, uint64_t *code) {
    if (umi.size() > umi_max_length) return false;
    uint64_t c = 0;
    for (const char b : umi) {
        uint64_t v;
        switch (b) {
        case 'A': case 'a': v = 0; break;
        case 'C': case 'c': v = 1; break;
        case 'G': case 'g': v = 2; break;
        case 'T': case 't': v = 3; break;
        default: return false;
        }
        c = c << 2 | v;
    }
    *code = c;
    return true;
}

void umi_bases(uint64_t code, size_t length, char *out) {
    for (size_t i = length; i-- > 0; code >>= 2) out[i] = "ACGT"[code & 3];
}

void umi_directional(const umi_count *umis, size_t n, size_t length, uint32_t *root) {
    constexpr uint32_t unset = UINT32_MAX;
    std::fill(root, root + n, unset);
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    // By reads, most first; the input's code order breaks ties.
    std::stable_sort(order.begin(), order.end(),
                     [umis](uint32_t a, uint32_t b) { return umis[a].reads > umis[b].reads; });
    const auto find = [umis, n](uint64_t code) -> size_t {
        const umi_count *at = std::lower_bound(umis, umis + n, code,
                                               [](const umi_count &u, uint64_t c) { return u.code < c; });
        return at != umis + n && at->code == code ? static_cast<size_t>(at - umis) : n;
    };
    std::vector<uint32_t> queue;
    for (const uint32_t r : order) {
        if (root[r] != unset) continue;
        root[r] = r;
        queue.assign(1, r);
        for (size_t head = 0; head < queue.size(); ++head) {
            const umi_count &u = umis[queue[head]];
            for (size_t pos = 0; pos < length; ++pos) {
                const unsigned shift = static_cast<unsigned>(2 * pos);
                const uint64_t base = u.code >> shift & 3;
                for (uint64_t other = 0; other < 4; ++other) {
                    if (other == base) continue;
                    const size_t v = find((u.code & ~(uint64_t{3} << shift)) | other << shift);
                    // reads(u) >= 2 reads(v) - 1, that is reads(v) <= (reads(u) + 1) / 2.
                    if (v == n || root[v] != unset || umis[v].reads > u.reads / 2 + u.reads % 2) continue;
                    root[v] = r;
                    queue.push_back(static_cast<uint32_t>(v));
                }
            }
        }
    }
}

namespace {

uint64_t pair_hash(uint32_t cell, uint64_t code) {
    uint64_t h = code ^ (uint64_t{cell} * 0x9e3779b97f4a7c15u);
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9u;
    return h ^ (h >> 29);
}

}  // namespace

void umi_pairs::add(uint32_t cell, uint64_t code) {
    if (4 * (used_ + 1) > 3 * slots_.size()) grow();
    const size_t mask = slots_.size() - 1;
    for (size_t at = pair_hash(cell, code) & mask;; at = (at + 1) & mask) {
        slot &s = slots_[at];
        if (s.reads == 0) {
            s = slot{code, cell, 1};
            ++used_;
            return;
        }
        if (s.code == code && s.cell == cell) {
            if (s.reads != UINT32_MAX) ++s.reads;
            return;
        }
    }
}

void umi_pairs::grow() {
    std::vector<slot> old(slots_.empty() ? 1024 : 2 * slots_.size(), slot{0, 0, 0});
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const slot &s : old) {
        if (s.reads == 0) continue;
        size_t at = pair_hash(s.cell, s.code) & mask;
        while (slots_[at].reads != 0) at = (at + 1) & mask;
        slots_[at] = s;
    }
}

size_t umi_pairs::sort_pairs() {
    size_t n = 0;
    for (const slot &s : slots_)
        if (s.reads != 0) slots_[n++] = s;
    std::sort(slots_.begin(), slots_.begin() + static_cast<ptrdiff_t>(n), [](const slot &a, const slot &b) {
        return a.cell != b.cell ? a.cell < b.cell : a.code < b.code;
    });
    return n;
}

}  // namespace velmora_pipeline
