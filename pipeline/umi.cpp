#include "umi.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <vector>

namespace velmora_pipeline {

namespace {

// Each byte's base (A = 0 ... T = 3, either case), 4 for any other byte:
// a table, since a branch per base mispredicts on random bases.
constexpr std::array<uint8_t, 256> base_values = [] {
    std::array<uint8_t, 256> t{};
    t.fill(4);
    for (const auto &[upper, v] : {std::pair{'A', 0}, {'C', 1}, {'G', 2}, {'T', 3}}) {
        t[static_cast<uint8_t>(upper)] = static_cast<uint8_t>(v);
        t[static_cast<uint8_t>(upper - 'A' + 'a')] = static_cast<uint8_t>(v);
    }
    return t;
}();

}  // namespace

bool umi_code(std::string_view umi, uint64_t *code) {
    if (umi.size() > umi_max_length) return false;
    uint64_t c = 0;
    unsigned other = 0;
    for (const char b : umi) {
        const unsigned v = base_values[static_cast<uint8_t>(b)];
        other |= v;
        c = c << 2 | (v & 3);
    }
    if (other & 4) return false;
    *code = c;
    return true;
}

namespace {

// Substitutions between two codes: a base differs when either of its bits does.
unsigned code_distance(uint64_t a, uint64_t b) {
    const uint64_t x = a ^ b;
    return static_cast<unsigned>(__builtin_popcountll((x | x >> 1) & 0x5555555555555555u));
}

uint64_t pair_hash(uint32_t cell, uint64_t code) {
    uint64_t h = code ^ (uint64_t{cell} * 0x9e3779b97f4a7c15u);
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9u;
    return h ^ (h >> 29);
}

}  // namespace

void umi_directional(const umi_count *umis, size_t n, size_t length, uint32_t *root, umi_workspace &w) {
    constexpr uint32_t unset = UINT32_MAX;
    std::fill(root, root + n, unset);
    w.order.resize(n);
    std::iota(w.order.begin(), w.order.end(), 0u);
    // By reads, most first; the input's code order breaks ties.
    std::stable_sort(w.order.begin(), w.order.end(),
                     [umis](uint32_t a, uint32_t b) { return umis[a].reads > umis[b].reads; });
    // A small cell compares every pair.  In a larger one, two UMIs one
    // substitution apart share the first half or the second exactly: each
    // half's UMIs sorted by that half give a UMI's candidates.
    const bool small = n <= 32;
    // The second half's bits: 32 at most, as a UMI has 32 bases at most.
    const unsigned low_bits = static_cast<unsigned>(2 * (length - length / 2));
    const uint64_t low_mask = (uint64_t{1} << low_bits) - 1;
    const auto half = [&](int h, uint64_t code) { return h == 0 ? code >> low_bits : code & low_mask; };
    if (!small)
        for (int h = 0; h < 2; ++h) {
            std::vector<std::pair<uint64_t, uint32_t>> &by = w.by_half[h];
            by.resize(n);
            for (size_t i = 0; i < n; ++i) by[i] = {half(h, umis[i].code), static_cast<uint32_t>(i)};
            std::sort(by.begin(), by.end());
        }
    for (const uint32_t r : w.order) {
        if (root[r] != unset) continue;
        root[r] = r;
        w.queue.assign(1, r);
        for (size_t head = 0; head < w.queue.size(); ++head) {
            const umi_count &u = umis[w.queue[head]];
            // reads(u) >= 2 reads(v) - 1, that is reads(v) <= (reads(u) + 1) / 2.
            const uint64_t most = u.reads / 2 + u.reads % 2;
            const auto absorb = [&](size_t v) {
                if (root[v] != unset || umis[v].reads > most) return;
                root[v] = r;
                w.queue.push_back(static_cast<uint32_t>(v));
            };
            if (small) {
                for (size_t v = 0; v < n; ++v)
                    if (root[v] == unset && code_distance(u.code, umis[v].code) == 1) absorb(v);
                continue;
            }
            for (int h = 0; h < 2; ++h) {
                const std::vector<std::pair<uint64_t, uint32_t>> &by = w.by_half[h];
                const uint64_t key = half(h, u.code);
                for (auto it = std::lower_bound(by.begin(), by.end(), std::make_pair(key, uint32_t{0}));
                     it != by.end() && it->first == key; ++it)
                    if (root[it->second] == unset && code_distance(u.code, umis[it->second].code) == 1)
                        absorb(it->second);
            }
        }
    }
}

void umi_directional(const umi_count *umis, size_t n, size_t length, uint32_t *root) {
    umi_workspace w;
    umi_directional(umis, n, length, root, w);
}


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

void umi_pairs::group(size_t length, bool correct, std::vector<uint64_t> *molecules) {
    const size_t n = sort_pairs();
    const size_t cells = n == 0 ? 0 : size_t{slots_[n - 1].cell} + 1;
    molecules->assign(cells, 0);
    std::vector<size_t> cell_start(cells + 1, n);
    std::vector<umi_count> umis;
    std::vector<uint32_t> root;
    umi_workspace work;
    for (size_t i = n; i-- > 0;) cell_start[slots_[i].cell] = i;
    for (size_t c = cells; c-- > 0;) cell_start[c] = std::min(cell_start[c], cell_start[c + 1]);
    size_t changed = 0;
    for (size_t c = 0; c < cells; ++c) {
        const size_t first = cell_start[c], count = cell_start[c + 1] - first;
        if (count == 0) continue;
        root.resize(count);
        if (correct) {
            umis.clear();
            for (size_t i = first; i < first + count; ++i) umis.push_back({slots_[i].code, slots_[i].reads});
            umi_directional(umis.data(), count, length, root.data(), work);
        } else {
            std::iota(root.begin(), root.end(), 0u);
        }
        uint64_t groups = 0;
        for (size_t i = 0; i < count; ++i) {
            groups += root[i] == i;
            changed += root[i] != i;
            slots_[first + i].reads = root[i];
        }
        (*molecules)[c] = groups;
    }
    // The corrected pairs alone, then, in place of every pair.
    size_t room = 1;
    while (room < 2 * changed) room *= 2;
    moved_.assign(changed ? room : 0, moved{0, 0, 0, 0});
    const size_t mask = moved_.size() - 1;
    for (size_t c = 0; c < cells && changed; ++c)
        for (size_t i = cell_start[c]; i < cell_start[c + 1]; ++i) {
            const slot &s = slots_[i];
            if (s.reads == i - cell_start[c]) continue;
            size_t at = pair_hash(s.cell, s.code) & mask;
            while (moved_[at].used) at = (at + 1) & mask;
            moved_[at] = {s.code, slots_[cell_start[c] + s.reads].code, s.cell, 1};
        }
    std::vector<slot>().swap(slots_);
}

uint64_t umi_pairs::corrected(uint32_t cell, uint64_t code) const {
    if (moved_.empty()) return code;
    const size_t mask = moved_.size() - 1;
    for (size_t at = pair_hash(cell, code) & mask; moved_[at].used; at = (at + 1) & mask)
        if (moved_[at].code == code && moved_[at].cell == cell) return moved_[at].root;
    return code;
}

void umi_pairs::correct(const uint32_t *cells, uint64_t *codes, size_t n) const {
    if (moved_.empty()) return;
    constexpr size_t ahead = 8;
    const size_t mask = moved_.size() - 1;
    for (size_t i = 0; i < n; ++i) {
        if (i + ahead < n) __builtin_prefetch(&moved_[pair_hash(cells[i + ahead], codes[i + ahead]) & mask]);
        codes[i] = corrected(cells[i], codes[i]);
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
