// Two-edit assignment of all-ACGT queries of 33 and 34 bases, just too long
// for a 2-bit code.
//
// An encodable reference has at most 32 bases.  To come within two edits of
// a 33-base query, at least one edit must delete a query base; of a 34-base
// query, both must.  So every encodable reference within two edits has:
//   33 bases: the code of the query without one base p (32 bases), or one of
//             that code's substitution or deletion variants;
//   34 bases: the code of the query without two bases p1 < p2.
// Those codes are looked up in the code table.  References without a code
// (33 bytes and more among them) are scanned within a length window of 2.
//
// The probe codes come straight from three shifted 32-base windows of the
// query: bases [0, 32), [1, 33) and, for 34 bases, [2, 34).  Removing base p
// keeps the first window below p and the second from p on; removing p1 and
// p2 takes the third window from p2 - 1 on.  Cost: 33 x (1 + 96 + 32) = 4,257
// probes for 33 bases, 561 for 34; each reference is measured once.
#include "assign/assign_internal.h"

namespace velmora {
namespace {

inline constexpr size_t LONG_READ_MIN_LEN = DNA2_MAX_LEN + 1;
inline constexpr size_t LONG_READ_MAX_LEN = DNA2_MAX_LEN + 2;

// Codes of the 32-base windows starting at 0, 1 and 2 (the last only when the
// query has 34 bases) of a query of upper-case bases only.
void long_read_windows(const uint8_t *query, size_t len, uint64_t window[3]) noexcept {
    window[0] = window[1] = window[2] = 0;
    for (size_t i = 0; i < len; ++i) {
        const auto b = static_cast<uint64_t>(dna2_base_value(query[i]));
        for (size_t w = 0; w < 3; ++w) {
            if (i >= w && i - w < DNA2_MAX_LEN) window[w] |= b << (2 * (i - w));
        }
    }
}

// Code of the query without base p (33-base query).
inline uint64_t long_read_drop_one(const uint64_t window[3], uint64_t p) noexcept {
    const uint64_t low = dna2_mask(p);
    return (window[0] & low) | (window[1] & ~low);
}

// Code of the query without bases p1 < p2 (34-base query).
inline uint64_t long_read_drop_two(const uint64_t window[3], uint64_t p1, uint64_t p2) noexcept {
    const uint64_t low = dna2_mask(p1);
    const uint64_t mid = dna2_mask(p2 - 1);
    return (window[0] & low) | (window[1] & mid & ~low) | (window[2] & ~mid);
}

}  // namespace

step edit_search_long_read(probe_sink *s, const query_facts &q) noexcept {
    uint64_t window[3];
    long_read_windows(q.bytes, q.len, window);
    if (s->query_len == LONG_READ_MIN_LEN) {
        for (uint64_t p = 0; p < LONG_READ_MIN_LEN; ++p) {
            // A 32-base code has no insertion variants, so this probes the
            // code, its substitutions (32 bases) and deletions (31 bases).
            const step r = k2_probe_around(s, long_read_drop_one(window, p), DNA2_MAX_LEN);
            if (r != step::go_on) return r;
        }
    } else {
        key_batch batch;
        key_batch_start(&batch, s->index, probe_visit_take, s);
        for (uint64_t p1 = 0; p1 < LONG_READ_MAX_LEN; ++p1) {
            for (uint64_t p2 = p1 + 1; p2 < LONG_READ_MAX_LEN; ++p2) {
                const step r = key_batch_add(&batch, long_read_drop_two(window, p1, p2), DNA2_MAX_LEN);
                if (r != step::go_on) return r;
            }
        }
        const step r = key_batch_flush(&batch);
        if (r != step::go_on) return r;
    }
    return probe_nonencodable(s, 2, true);
}

}  // namespace velmora
