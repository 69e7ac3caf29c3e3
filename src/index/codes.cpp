// The two encoders of the 2-bit code.  Base i sits in bits 2i and 2i + 1, the
// first base in the lowest bits, so a code read back from the low end gives
// the bases in sequence order and a prefix is a mask away.
//
// Both encoders walk one 256-entry table: 0..3 for an accepted byte, 0xFF for
// any other.  The strict table accepts A/C/G/T only; the folding table also
// accepts a/c/g/t with the value of the upper-case letter.
#include <cstddef>
#include <cstdint>

#include "index/index_internal.h"
#include "index/probe.h"

namespace velmora {
namespace {

constexpr uint8_t DNA2_REJECT = 0xFF;

struct dna2_table {
    uint8_t value[256];
};

constexpr dna2_table dna2_make_table(bool fold_case) {
    dna2_table t{};
    for (int b = 0; b < 256; ++b) t.value[b] = DNA2_REJECT;
    t.value['A'] = 0;
    t.value['C'] = 1;
    t.value['G'] = 2;
    t.value['T'] = 3;
    if (fold_case) {
        t.value['a'] = 0;
        t.value['c'] = 1;
        t.value['g'] = 2;
        t.value['t'] = 3;
    }
    return t;
}

constexpr dna2_table DNA2_STRICT = dna2_make_table(false);
constexpr dna2_table DNA2_FOLDED = dna2_make_table(true);

// The length test comes first: a 33-byte sequence fails without its bytes
// being read, and so does any length that reads as negative when signed.
inline int dna2_encode(const dna2_table &table, const uint8_t *seq, size_t len,
                       uint64_t *code) noexcept {
    if (len > DNA2_MAX_LEN) return 0;
    if (len == 0) {
        *code = 0;
        return 1;
    }
    if (seq == nullptr) return 0;
    uint64_t c = 0;
    for (size_t i = 0; i < len; ++i) {
        const uint8_t v = table.value[seq[i]];
        if (v == DNA2_REJECT) return 0;
        c |= uint64_t{v} << (2 * i);
    }
    *code = c;
    return 1;
}

}  // namespace

int dna2_code(const uint8_t *seq, size_t len, uint64_t *code) noexcept {
    return dna2_encode(DNA2_STRICT, seq, len, code);
}

int dna2_code_ascii_upper(const uint8_t *seq, size_t len, uint64_t *code) noexcept {
    return dna2_encode(DNA2_FOLDED, seq, len, code);
}

void query_facts_of(query_facts *f, const uint8_t *bytes, size_t len) noexcept {
    f->bytes = bytes;
    f->len = len;
    f->unknown = 0;
    // Past 34 bytes no route looks at the bytes: no code, no long read.
    const size_t scanned = len <= DNA2_MAX_LEN + 2 ? len : 0;
    const size_t coded = scanned < DNA2_MAX_LEN ? scanned : DNA2_MAX_LEN;
    uint64_t code = 0;
    for (size_t i = 0; i < coded; ++i) {
        const uint8_t v = DNA2_STRICT.value[bytes[i]];
        if (v != DNA2_REJECT) {
            code |= uint64_t{v} << (2 * i);
        } else {
            if (f->unknown < 3) f->unknown_at[f->unknown] = i;
            f->unknown += 1;
        }
    }
    for (size_t i = coded; i < scanned; ++i) {
        if (DNA2_STRICT.value[bytes[i]] != DNA2_REJECT) continue;
        if (f->unknown < 3) f->unknown_at[f->unknown] = i;
        f->unknown += 1;
    }
    f->code = code;
    const bool bases = len == scanned && f->unknown == 0;
    f->encodable = bases && len <= DNA2_MAX_LEN;
    f->long_read = bases && len > DNA2_MAX_LEN;
}

}  // namespace velmora
