// Unaligned BAM through htslib.
#include "bam.h"

#include <htslib/bgzf.h>
#include <htslib/sam.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base.h"
#include "io.h"

namespace velmora_pipeline {

namespace {

samFile *as_file(void *p) { return static_cast<samFile *>(p); }
sam_hdr_t *as_header(void *p) { return static_cast<sam_hdr_t *>(p); }

void put_u8(std::string &out, uint32_t v) { out.push_back(static_cast<char>(v & 0xFF)); }
void put_u16(std::string &out, uint32_t v) {
    put_u8(out, v);
    put_u8(out, v >> 8);
}
void put_u32(std::string &out, uint32_t v) {
    put_u16(out, v);
    put_u16(out, v >> 16);
}

// A value for a header line: tabs and line breaks would end its field.
std::string header_value(std::string s) {
    for (char &c : s)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return s;
}

}  // namespace

bam_writer::bam_writer(const output_target &target, const std::string &command_line, unsigned threads)
    : target_(target) {
    std::string path = target_.resolved;
    if (target_.to_stdout) {
        path = "-";
    } else if (!target_.direct) {
        // The temporary file beside the target, so that the rename stays on
        // one file system.
        const size_t slash = path.rfind('/');
        temp_path_ = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + ".velmora-XXXXXX";
        const int fd = mkstemp(temp_path_.data());
        if (fd < 0) fail(std::strerror(errno));
        temp_slot_ = register_temp_file(temp_path_);
        // The mode a plain create would give, as the other outputs get.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        close(fd);
        path = temp_path_;
    }
    // Level 1, as the gzip outputs: the reads arrive faster than a higher
    // level compresses them, for a few percent of size.
    file_ = sam_open(path.c_str(), "wb1");
    if (!file_) fail(std::strerror(errno));
    // Compression is most of the cost of writing (about 4.5 s a million
    // 90-base reads on one core): htslib's own threads take it off the
    // thread that reads and writes.
    if (threads > 1 && hts_set_threads(as_file(file_), static_cast<int>(threads)) != 0)
        fail("cannot start the compression threads");
    header_ = sam_hdr_init();
    if (!header_) fail("out of memory");
    const std::string text = "@HD\tVN:1.6\tSO:unsorted\tGO:query\n@PG\tID:velmora\tPN:velmora\tCL:" +
                             header_value(command_line.empty() ? "velmora assign" : command_line) + "\n";
    if (sam_hdr_add_lines(as_header(header_), text.c_str(), text.size()) != 0 ||
        sam_hdr_write(as_file(file_), as_header(header_)) != 0)
        fail("cannot write the header");
}

bam_writer::~bam_writer() {
    if (file_) sam_close(as_file(file_));
    if (header_) sam_hdr_destroy(as_header(header_));
    if (!published_ && !temp_path_.empty()) unlink(temp_path_.c_str());
    if (temp_slot_ >= 0) unregister_temp_file(temp_slot_);
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
    const size_t l_name = name.size() + 1;
    // An unmapped record placed nowhere: the bin of position -1, length 1.
    const uint32_t bin = static_cast<uint32_t>(hts_reg2bin(-1, 0, 14, 5));
    for (size_t k = 0; k < n; ++k) {
        const uint32_t flag = n == 2 ? (k == 0 ? 77 : 141) : 4;
        const size_t start = out.size();
        const size_t l_seq = seq[k].size();
        put_u32(out, 0);  // block_size, set below
        put_u32(out, UINT32_MAX);  // refID -1
        put_u32(out, UINT32_MAX);  // pos -1
        put_u8(out, static_cast<uint32_t>(l_name));
        put_u8(out, 0);  // mapq
        put_u16(out, bin);
        put_u16(out, 0);  // no CIGAR
        put_u16(out, flag);
        put_u32(out, static_cast<uint32_t>(l_seq));
        put_u32(out, UINT32_MAX);  // next refID -1
        put_u32(out, UINT32_MAX);  // next pos -1
        put_u32(out, 0);  // tlen
        out.append(name);
        out.append(l_name - name.size(), '\0');
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

void bam_writer::write_encoded(std::string_view records) {
    if (records.empty()) return;
    if (bgzf_write(as_file(file_)->fp.bgzf, records.data(), records.size()) < 0) fail(std::strerror(errno));
}

void bam_writer::finish() {
    samFile *f = as_file(file_);
    file_ = nullptr;
    if (f && sam_close(f) != 0) fail("closing failed");
}

void bam_writer::publish() {
    if (temp_path_.empty()) return;
    if (rename(temp_path_.c_str(), target_.resolved.c_str()) != 0) fail(std::strerror(errno));
    published_ = true;
    unregister_temp_file(temp_slot_);
    temp_slot_ = -1;
}

}  // namespace velmora_pipeline
