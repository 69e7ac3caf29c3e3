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

}  // namespace velmora_pipeline
