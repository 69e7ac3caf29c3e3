// Unaligned BAM, encoded as htslib encodes it (its base codes and bins), in
// BGZF blocks compressed by the worker threads.
#include "bam.h"

#include <htslib/hts.h>

#include <algorithm>
#include <cstdint>

#include "base.h"

namespace velmora_pipeline {

namespace {

void put_u8(std::string &out, uint32_t v) { out.push_back(static_cast<char>(v & 0xFF)); }
void put_u16(std::string &out, uint32_t v) {
    put_u8(out, v);
    put_u8(out, v >> 8);
}
void put_u32(std::string &out, uint32_t v) {
    put_u16(out, v);
    put_u16(out, v >> 16);
}

}  // namespace

std::string header_value(std::string s) {
    for (char &c : s)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return s;
}

bam_writer::bam_writer(output_file *out, const output_target &target, const std::string &command_line)
    : out_(out), target_(target) {
    const std::string text = "@HD\tVN:1.6\tSO:unsorted\tGO:query\n@PG\tID:velmora\tPN:velmora\tCL:" +
                             header_value(command_line.empty() ? "velmora assign" : command_line) + "\n";
    if (text.size() > INT32_MAX) fail("the header is too long");
    std::string raw = "BAM\1";
    put_u32(raw, static_cast<uint32_t>(text.size()));
    raw += text;
    put_u32(raw, 0);  // no reference sequences
    std::string blocks;
    bgzf_blocks(raw, blocks);
    out_->write(blocks);
}

void bam_writer::fail(const std::string &what) const {
    throw data_error("cannot write " + target_.what + " '" + target_.given + "': " + what);
}

void bam_writer::encode(std::string &out, std::string_view name, const std::string *seq, const std::string *qual,
                        size_t n, std::string_view tags) const {
    // The name and its zero byte must fit l_read_name's byte.  No name is
    // written as SAM's "*".
    if (name.size() > 254) fail("a record cannot be encoded (read '" + std::string(name) + "')");
    if (name.empty()) name = "*";
    // An unmapped record placed nowhere: the bin of position -1, length 1.
    const uint32_t bin = static_cast<uint32_t>(hts_reg2bin(-1, 0, 14, 5));
    for (size_t k = 0; k < n; ++k) {
        const uint32_t flag = n == 2 ? (k == 0 ? 77 : 141) : 4;
        const size_t start = out.size();
        const size_t l_seq = seq[k].size();
        put_u32(out, 0);  // block_size, set below
        put_u32(out, UINT32_MAX);  // refID -1
        put_u32(out, UINT32_MAX);  // pos -1
        put_u8(out, static_cast<uint32_t>(name.size() + 1));
        put_u8(out, 0);  // mapq
        put_u16(out, bin);
        put_u16(out, 0);  // no CIGAR
        put_u16(out, flag);
        put_u32(out, static_cast<uint32_t>(l_seq));
        put_u32(out, UINT32_MAX);  // next refID -1
        put_u32(out, UINT32_MAX);  // next pos -1
        put_u32(out, 0);  // tlen
        out.append(name);
        out.push_back('\0');
        for (size_t i = 0; i < l_seq; i += 2) {
            const uint32_t hi = seq_nt16_table[static_cast<uint8_t>(seq[k][i])];
            const uint32_t lo = i + 1 < l_seq ? seq_nt16_table[static_cast<uint8_t>(seq[k][i + 1])] : 0;
            put_u8(out, hi << 4 | lo);
        }
        // Raw Phred values; 0xFF throughout when the read has none.
        if (qual[k].size() == l_seq) {
            for (const char c : qual[k]) put_u8(out, static_cast<uint8_t>(c - 33));
        } else {
            out.append(l_seq, static_cast<char>(0xFF));
        }
        for (size_t at = 0; at < tags.size();) {
            // "\tXX:Z:value"
            const size_t end = std::min(tags.find('\t', at + 1), tags.size());
            const std::string_view tag = tags.substr(at + 1, end - at - 1);
            if (tag.size() < 5) fail("a tag cannot be encoded (read '" + std::string(name) + "')");
            out.append(tag.substr(0, 2));
            out.push_back('Z');
            out.append(tag.substr(5));
            out.push_back('\0');
            at = end;
        }
        const size_t block = out.size() - start - 4;
        if (block > INT32_MAX) fail("a record cannot be encoded (read '" + std::string(name) + "')");
        for (size_t b = 0; b < 4; ++b) out[start + b] = static_cast<char>((block >> (8 * b)) & 0xFF);
    }
}

void bam_writer::end() {
    // The empty block that marks a complete file.
    static constexpr char eof[28] = {'\x1f', '\x8b', 8, 4, 0, 0, 0, 0, 0, '\xff', 6, 0, 'B', 'C', 2, 0,
                                     0x1b, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    out_->write(std::string_view(eof, sizeof eof));
}

}  // namespace velmora_pipeline
