// Unaligned BAM through htslib.
#include "bam.h"

#include <htslib/sam.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base.h"
#include "io.h"

namespace velmora_pipeline {

namespace {

samFile *as_file(void *p) { return static_cast<samFile *>(p); }
sam_hdr_t *as_header(void *p) { return static_cast<sam_hdr_t *>(p); }
bam1_t *as_record(void *p) { return static_cast<bam1_t *>(p); }

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
    record_ = bam_init1();
    if (!header_ || !record_) fail("out of memory");
    const std::string text = "@HD\tVN:1.6\tSO:unsorted\tGO:query\n@PG\tID:velmora\tPN:velmora\tCL:" +
                             header_value(command_line.empty() ? "velmora assign" : command_line) + "\n";
    if (sam_hdr_add_lines(as_header(header_), text.c_str(), text.size()) != 0 ||
        sam_hdr_write(as_file(file_), as_header(header_)) != 0)
        fail("cannot write the header");
}

bam_writer::~bam_writer() {
    if (record_) bam_destroy1(as_record(record_));
    if (file_) sam_close(as_file(file_));
    if (header_) sam_hdr_destroy(as_header(header_));
    if (!published_ && !temp_path_.empty()) unlink(temp_path_.c_str());
    if (temp_slot_ >= 0) unregister_temp_file(temp_slot_);
}

void bam_writer::fail(const std::string &what) {
    throw data_error("cannot write " + target_.what + " '" + target_.given + "': " + what);
}

void bam_writer::write(std::string_view name, const std::string *seq, const std::string *qual, size_t n,
                       std::string_view tags) {
    bam1_t *b = as_record(record_);
    std::string quals;
    for (size_t k = 0; k < n; ++k) {
        const uint16_t flag = n == 2 ? (k == 0 ? 77 : 141) : 4;
        // htslib takes raw Phred values; an empty quality string is '*'.
        quals.assign(qual[k]);
        for (char &c : quals) c = static_cast<char>(c - 33);
        if (bam_set1(b, name.size(), name.data(), flag, -1, -1, 0, 0, nullptr, -1, -1, 0, seq[k].size(),
                     seq[k].data(), seq[k].empty() ? nullptr : quals.data(), tags.size()) < 0)
            fail("a record cannot be encoded (read '" + std::string(name) + "')");
        for (size_t at = 0; at < tags.size();) {
            // "\tXX:Z:value"
            const size_t end = std::min(tags.find('\t', at + 1), tags.size());
            const std::string_view tag = tags.substr(at + 1, end - at - 1);
            const std::string value(tag.substr(5));
            if (tag.size() < 5 ||
                bam_aux_append(b, tag.data(), 'Z', static_cast<int>(value.size() + 1),
                               reinterpret_cast<const uint8_t *>(value.c_str())) != 0)
                fail("a tag cannot be encoded (read '" + std::string(name) + "')");
            at = end;
        }
        if (sam_write1(as_file(file_), as_header(header_), b) < 0) fail(std::strerror(errno));
    }
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
