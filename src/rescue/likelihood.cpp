// The quality model: how likely the observed read is, given that it came from
// one reference.  A base read correctly has probability 1 - p, a substitution
// p / 3, where p is the base's error probability from its Phred quality; an
// inserted base costs its own p times the indel weight (and is one of four), a
// deleted one the p of the less reliable read base beside the gap times the
// weight.  The alignment taken is the most likely one, found by a banded
// dynamic programme in log space whose end may fall on any allowed read prefix
// length; the read bases it leaves before the longest are one of four each.
#include <cmath>
#include <limits>

#include "rescue/rescue_internal.h"

namespace velmora {
namespace {

constexpr double NEG_INF = -std::numeric_limits<double>::infinity();

rescue_base_logs base_logs_from_error(double log_p) noexcept {
    const double log_cap = std::log(RESCUE_MAX_ERROR);
    if (log_p > log_cap) log_p = log_cap;
    const double p = std::exp(log_p);
    return rescue_base_logs{std::log1p(-p), log_p - std::log(3.0), log_p};
}

// Log error probability of the read base beside a gap that sits before read
// base i (after i bases of the read): the larger of its two neighbors'.
double gap_neighbor_error(const rescue_scratch &s, size_t i) noexcept {
    const size_t n = s.bases.size();
    double e = NEG_INF;
    if (i > 0) e = s.bases[i - 1].error;  // i <= longest, so i - 1 < n
    if (i < n && s.bases[i].error > e) e = s.bases[i].error;
    return e == NEG_INF ? std::log(RESCUE_DEFAULT_ERROR) : e;
}

}  // namespace

bool rescue_model_prepare(const rescue_read_model &m, rescue_scratch &s) noexcept {
    // Bases 0 .. longest - 1 are aligned; base `longest` may neighbor a gap.
    const size_t n = m.longest < m.read_len ? m.longest + 1 : m.read_len;
    if (!s.bases.reserve(n)) return false;
    size_t width, rows;
    if (!checked_mul(m.band, 2, &width) || !checked_add(width, 1, &width) ||
        !checked_mul(width, 2, &rows) || !s.rows.reserve(rows))
        return false;
    const double ln10_over_10 = std::log(10.0) / 10.0;
    const rescue_base_logs fallback = base_logs_from_error(std::log(RESCUE_DEFAULT_ERROR));
    // A read holds few distinct quality bytes: their logarithms are kept in
    // a small table by the byte's low six bits, tagged with the whole byte
    // (Phred+33 up to Q41 never collides; a collision only recomputes).
    constexpr size_t MEMO = 64;
    rescue_base_logs memo[MEMO];
    uint16_t tag[MEMO];
    for (size_t i = 0; i < MEMO; ++i) tag[i] = UINT16_MAX;
    for (size_t i = 0; i < n; ++i) {
        if (m.quals == nullptr) {
            s.bases[i] = fallback;
            continue;
        }
        const uint32_t q = m.quals[i];
        const size_t slot = q & (MEMO - 1);
        if (tag[slot] != q) {
            const uint32_t phred = q >= m.quality_offset ? q - m.quality_offset : 0;
            memo[slot] = base_logs_from_error(-static_cast<double>(phred) * ln10_over_10);
            tag[slot] = static_cast<uint16_t>(q);
        }
        s.bases[i] = memo[slot];
    }
    s.bases.set_size(n);
    return true;
}

bool rescue_alignment_possible(const rescue_read_model &m, size_t ref_len) noexcept {
    // A path to the end cell (i, ref_len) with |i - ref_len| <= band can keep
    // within the band: the diagonal first, then the gaps.
    const size_t reach = m.log_indel_weight == NEG_INF ? 0 : m.band;
    const size_t low = ref_len > reach ? ref_len - reach : 0;
    return low <= m.longest && m.shortest <= ref_len + reach;
}

double rescue_log_likelihood(const rescue_read_model &m, rescue_scratch &s, const uint8_t *ref,
                             size_t ref_len) noexcept {
    // Row i holds the alignments of the first i read bases; cell t of a row
    // is reference prefix j = i + t - band.  Cells outside 0..ref_len are -inf.
    const size_t band = m.band;
    const size_t width = 2 * band + 1;
    double *prev = s.rows.data();
    double *cur = prev + width;
    const auto ref_prefix = [band](size_t i, size_t t) {
        return static_cast<ptrdiff_t>(i + t) - static_cast<ptrdiff_t>(band);
    };
    const auto cell_of_end = [&](size_t i) -> ptrdiff_t {
        return static_cast<ptrdiff_t>(ref_len) - static_cast<ptrdiff_t>(i) +
               static_cast<ptrdiff_t>(band);
    };
    // Every candidate explains the same read bases: those its alignment
    // leaves before `longest` belong to what follows the barcode, a random
    // base each.
    const double log_random_base = std::log(0.25);
    double best = NEG_INF;
    const auto take_end = [&](size_t i, const double *row) {
        const ptrdiff_t t = cell_of_end(i);
        if (i < m.shortest || t < 0 || t >= static_cast<ptrdiff_t>(width)) return;
        const double v = row[t] + static_cast<double>(m.longest - i) * log_random_base;
        if (v > best) best = v;
    };

    // Row 0: reference bases deleted before the first read base.
    const double del0 = m.log_indel_weight + gap_neighbor_error(s, 0);
    for (size_t t = 0; t < width; ++t) {
        const ptrdiff_t j = ref_prefix(0, t);
        if (j < 0 || j > static_cast<ptrdiff_t>(ref_len)) {
            prev[t] = NEG_INF;
        } else {
            prev[t] = j == 0 ? 0.0 : prev[t - 1] + del0;
        }
    }
    take_end(0, prev);

    for (size_t i = 1; i <= m.longest; ++i) {
        const rescue_base_logs &b = s.bases[i - 1];
        const uint8_t base = m.read[i - 1];
        // An inserted base is one of four, whichever it is.
        const double ins = m.log_indel_weight + b.error + log_random_base;
        const double del = m.log_indel_weight + gap_neighbor_error(s, i);
        for (size_t t = 0; t < width; ++t) {
            const ptrdiff_t j = ref_prefix(i, t);
            if (j < 0 || j > static_cast<ptrdiff_t>(ref_len)) {
                cur[t] = NEG_INF;
                continue;
            }
            double v = NEG_INF;
            if (j >= 1) {
                const bool same = ref[j - 1] == base;
                v = prev[t] + (same ? b.match : b.subst);
                if (t >= 1 && cur[t - 1] + del > v) v = cur[t - 1] + del;
            }
            if (t + 1 < width && prev[t + 1] + ins > v) v = prev[t + 1] + ins;
            cur[t] = v;
        }
        take_end(i, cur);
        double *swap = prev;
        prev = cur;
        cur = swap;
    }
    return best;
}

}  // namespace velmora
