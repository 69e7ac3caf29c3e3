// The tool's input layer against naive readers: the line reader over plain
// and multi-member gzip files (ISA-L inflates them; zlib writes them here,
// so the two decoders meet on every file), and the whitelist reader, whose
// one pass over the bytes must give what reading line by line gives.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fastq.h"
#include "files.h"
#include "io.h"
#include "support/alloc_hooks.h"
#include "whitelist.h"

namespace {

namespace fs = std::filesystem;
using velmora_pipeline::data_error;
using velmora_pipeline::line_reader;
using velmora_pipeline::whitelist;
using velmora_pipeline::whitelist_reading;

using velmora_test::gzip_member;
using velmora_test::scratch_dir;
using velmora_test::write_file;

// data as gzip members cut at random places (empty members included).
std::string gzip_members(const std::string &data, std::mt19937_64 &rng, std::vector<size_t> *member_starts) {
    std::string out;
    size_t at = 0;
    do {
        const size_t left = data.size() - at;
        const size_t n = rng() % 4 == 0 ? left : std::min<size_t>(left, rng() % (left + 1));
        member_starts->push_back(out.size());
        out += gzip_member(data.substr(at, n), static_cast<int>(rng() % 10));
        at += n;
    } while (at < data.size());
    return out;
}

// What a line reader must return: lines split at '\n', one CR removed.
std::vector<std::string> naive_lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        const bool last = nl == std::string::npos;
        if (last) nl = text.size();
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
        start = nl + 1;
    }
    return out;
}

std::string random_text(std::mt19937_64 &rng) {
    std::string text;
    const size_t lines = rng() % 1500;
    for (size_t i = 0; i < lines; ++i) {
        const size_t len = rng() % 400 == 0 ? rng() % 300000 : rng() % 40;
        for (size_t j = 0; j < len; ++j) text.push_back("ACGTN\r \t#x"[rng() % 10]);
        if (i + 1 < lines || rng() % 2) text += rng() % 5 == 0 ? "\r\n" : "\n";
    }
    return text;
}

std::vector<std::string> read_lines(const std::string &path, bool ahead) {
    line_reader in(path, "test input", velmora_pipeline::default_max_line_length, ahead);
    std::vector<std::string> out;
    std::string_view line;
    while (in.next(&line)) out.emplace_back(line);
    return out;
}

std::string read_runs(const std::string &path) {
    line_reader in(path, "test input");
    std::string out;
    std::string_view run;
    while (in.next_lines(&run, 0)) {
        EXPECT_TRUE(!run.empty());
        out += run;
    }
    return out;
}

std::string error_of(const std::string &path) {
    try {
        read_lines(path, false);
    } catch (const data_error &e) {
        return e.what();
    }
    return "";
}

TEST(LineReader, PlainAndGzipInputMatchNaiveSplitting) {
    std::mt19937_64 rng(2501);
    scratch_dir dir;
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        const std::string text = random_text(rng);
        std::vector<size_t> starts;
        write_file(dir.file("plain"), text);
        write_file(dir.file("gz"), gzip_members(text, rng, &starts));
        const std::vector<std::string> want = naive_lines(text);
        for (const char *name : {"plain", "gz"}) {
            SCOPED_TRACE(name);
            EXPECT_EQ(read_lines(dir.file(name), false), want);
            EXPECT_EQ(read_lines(dir.file(name), true), want);
            EXPECT_EQ(read_runs(dir.file(name)), text);
        }
    }
}

// Damage anywhere in a multi-member file stops the read with an error that
// names the file and a byte offset; bytes after the last member are named
// at the offset where they start.
TEST(LineReader, DamagedGzipIsAnErrorAtItsOffset) {
    std::mt19937_64 rng(2502);
    scratch_dir dir;
    const std::string path = dir.file("in.gz");
    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE(round);
        std::string text = random_text(rng);
        text += "end\n";
        std::vector<size_t> starts;
        const std::string gz = gzip_members(text, rng, &starts);

        write_file(path, gz + "junk after the members");
        EXPECT_NE(error_of(path).find("'" + path + "': unexpected data at byte " + std::to_string(gz.size())),
                  std::string::npos)
            << error_of(path);

        write_file(path, gz.substr(0, gz.size() - 1 - rng() % std::min<size_t>(gz.size() - 1, 30)));
        const std::string truncated = error_of(path);
        EXPECT_NE(truncated.find("byte "), std::string::npos) << truncated;
        EXPECT_NE(truncated.find(path), std::string::npos) << truncated;

        // A flipped bit in a member's data, header or trailer.
        std::string bad = gz;
        const size_t member = rng() % starts.size();
        const size_t end = member + 1 < starts.size() ? starts[member + 1] : gz.size();
        const size_t at = starts[member] + rng() % (end - starts[member]);
        bad[at] = static_cast<char>(bad[at] ^ (1 << (rng() % 8)));
        write_file(path, bad);
        const std::string damaged = error_of(path);
        // A flip in a header's ignored bytes (modification time, extra
        // flags, operating system) changes nothing the reader can see.
        const size_t in_member = at - starts[member];
        if (in_member >= 4 && in_member < 10 && damaged.empty()) continue;
        EXPECT_NE(damaged.find("byte "), std::string::npos) << "flip at " << at << ": " << damaged;
    }
}

// FASTQ records with names cut at a space or tab anywhere, and sequence
// lines with a byte outside 0x21-0x7e anywhere: the reader returns what a
// byte-by-byte reading gives, or stops at the first such byte.
TEST(FastqReader, NamesAndSequenceBytesMatchNaiveReading) {
    std::mt19937_64 rng(2507);
    scratch_dir dir;
    const std::string odd = std::string("\x00\x01\x09\x0a\x20\x7f\x80\xff", 8);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        std::string text, want_error;
        std::vector<std::string> names, seqs;
        const int records = 1 + static_cast<int>(rng() % 4);
        for (int r = 0; r < records && want_error.empty(); ++r) {
            std::string name, seq;
            for (size_t j = rng() % 40; j > 0; --j) name.push_back(static_cast<char>('!' + 1 + rng() % 90));
            if (rng() % 2) name.insert(rng() % (name.size() + 1), rng() % 2 ? " x" : "\ty");
            for (size_t j = rng() % 40; j > 0; --j) seq.push_back("ACGTN!~"[rng() % 7]);
            if (rng() % 4 == 0 && !seq.empty()) {
                const char c = odd[rng() % odd.size()];
                if (c != '\n') seq[rng() % seq.size()] = c;
            }
            text += "@" + name + "\n" + seq + "\n+\n" + std::string(seq.size(), 'I') + "\n";
            for (const char ch : seq) {
                const unsigned char c = static_cast<unsigned char>(ch);
                if (c < 0x21 || c > 0x7e) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "0x%02x", c);
                    want_error = std::string("record ") + std::to_string(r + 1) + " (line " +
                                 std::to_string(4 * r + 2) + "): the sequence line holds the byte " + hex;
                    break;
                }
            }
            names.push_back(name.substr(0, std::min(name.find(' '), name.find('\t'))));
            seqs.push_back(seq);
        }
        write_file(dir.file("r.fq"), text);
        velmora_pipeline::fastq_reader in(dir.file("r.fq"), velmora_pipeline::default_max_line_length);
        std::string name, seq, qual, error;
        size_t got = 0;
        try {
            while (in.next(&name, &seq, &qual)) {
                ASSERT_LT(got, names.size());
                EXPECT_EQ(name, names[got]);
                EXPECT_EQ(seq, seqs[got]);
                ++got;
            }
        } catch (const data_error &e) {
            error = e.what();
        }
        if (want_error.empty()) {
            EXPECT_EQ(error, "");
            EXPECT_EQ(got, names.size());
        } else {
            EXPECT_NE(error.find(want_error), std::string::npos) << error << " / " << want_error;
            EXPECT_EQ(got, names.size() - 1);
        }
    }
}

// ---------------------------------------------------------------- whitelist

bool sequence_letter(char c) {
    const char u = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    return std::string_view("ACGTUNRYSWKMBDHV").find(u) != std::string_view::npos && u != 0;
}

struct naive_whitelist {
    std::vector<std::string> entries;
    std::vector<uint64_t> multiplicity;
    uint64_t listed = 0, lower = 0, repeats = 0;
    uint64_t bad_line = 0;  // the first line that is not a sequence
};

// The rules read line by line: blanks and CR trimmed, blank and '#' lines
// skipped, IUPAC letters either case, repeats dropped keeping the first.
naive_whitelist naive_read(const std::string &text, bool fold) {
    naive_whitelist w;
    std::map<std::string, size_t> seen;
    uint64_t number = 0;
    for (std::string line : naive_lines(text)) {
        ++number;
        const char *blank = " \t\r\f\v";
        const size_t a = line.find_first_not_of(blank);
        if (a == std::string::npos) continue;
        line = line.substr(a, line.find_last_not_of(blank) - a + 1);
        if (line[0] == '#') continue;
        bool lower = false;
        for (char &c : line) {
            if (!sequence_letter(c)) {
                w.bad_line = number;
                return w;
            }
            if (c >= 'a' && c <= 'z') {
                lower = true;
                if (fold) c = static_cast<char>(c - 32);
            }
        }
        ++w.listed;
        w.lower += lower;
        const auto [it, fresh] = seen.emplace(line, w.entries.size());
        if (fresh) {
            w.entries.push_back(line);
            w.multiplicity.push_back(1);
        } else {
            ++w.repeats;
            ++w.multiplicity[it->second];
        }
    }
    return w;
}

// A list of length-len A/C/G/T entries with repeats, case changes, blanks,
// comments and CRs; when breaker is set, one entry that the packed form
// cannot hold goes in at a random place.
std::string random_whitelist(std::mt19937_64 &rng, size_t len, const std::string &breaker) {
    std::vector<std::string> pool(1 + rng() % 400);
    for (std::string &e : pool)
        for (size_t j = 0; j < len; ++j) e.push_back("ACGT"[rng() % 4]);
    const size_t lines = 1 + rng() % 2000;
    const size_t break_at = rng() % lines;
    std::string text;
    for (size_t i = 0; i < lines; ++i) {
        std::string e = pool[rng() % pool.size()];
        if (rng() % 8 == 0)
            for (char &c : e) c = rng() % 2 ? static_cast<char>(c + 32) : c;
        if (rng() % 20 == 0) text += rng() % 2 ? "# a comment ACGT\n" : " \t\n";
        if (!breaker.empty() && i == break_at) e = breaker;
        if (rng() % 10 == 0) e = " \t" + e;
        if (rng() % 10 == 0) e += " ";
        text += e;
        if (i + 1 < lines || rng() % 2) text += rng() % 6 == 0 ? "\r\n" : "\n";
    }
    return text;
}

TEST(Whitelist, OnePassReadMatchesLineByLine) {
    std::mt19937_64 rng(2503);
    scratch_dir dir;
    const std::string breakers[] = {"", "", "ACGN", "acgu", "ACGTACGTACGTACGTACGTACGTACGTACGTA", "AC", "ACGTRY"};
    for (int round = 0; round < 120; ++round) {
        SCOPED_TRACE(round);
        const size_t len = std::vector<size_t>{1, 4, 15, 16, 17, 31, 32}[rng() % 7];
        const std::string breaker = breakers[rng() % std::size(breakers)];
        const std::string text = random_whitelist(rng, len, breaker);
        std::vector<size_t> starts;
        const bool gz = rng() % 2;
        write_file(dir.file("wl"), gz ? gzip_members(text, rng, &starts) : text);
        for (const whitelist_reading how : {whitelist_reading{.compact = true}, whitelist_reading{},
                                            whitelist_reading{.fold_case = false, .count_multiplicity = true},
                                            whitelist_reading{.count_multiplicity = true, .compact = true}}) {
            const naive_whitelist want = naive_read(text, how.fold_case);
            const whitelist got = velmora_pipeline::load_whitelist(dir.file("wl"), how);
            ASSERT_EQ(got.size(), want.entries.size());
            size_t lo = SIZE_MAX, hi = 0;
            bool packable = how.compact && how.fold_case;
            for (size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(std::string(got.entry(i)), want.entries[i]) << i;
                lo = std::min(lo, want.entries[i].size());
                hi = std::max(hi, want.entries[i].size());
                packable = packable && want.entries[i].find_first_not_of("ACGT") == std::string::npos;
            }
            packable = packable && lo == hi && hi <= 32;
            EXPECT_EQ(got.is_packed(), packable);
            if (!got.is_packed()) {
                for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got.stored_entry(i), want.entries[i]);
            }
            EXPECT_EQ(got.min_length, lo);
            EXPECT_EQ(got.max_length, hi);
            EXPECT_EQ(got.listed, want.listed);
            EXPECT_EQ(got.lower_case_entries, want.lower);
            EXPECT_EQ(got.repeats_dropped, want.repeats);
            if (how.count_multiplicity) {
                EXPECT_EQ(got.multiplicity, want.multiplicity);
            }
        }
    }
}

// A list whose repeat table outgrows 2 MB (huge pages, where granted),
// sized from the file or doubling while repeats keep arriving, with each of
// the table's blocks made to fail in turn: the read stops with bad_alloc and
// leaves nothing, or keeps the first occurrences in order.
TEST(Whitelist, LargeListAndItsAllocationFailures) {
    std::mt19937_64 rng(2505);
    scratch_dir dir;
    std::string text;
    std::vector<std::string> listed;
    for (int i = 0; i < 200000; ++i) {
        std::string e;
        for (int j = 0; j < 16; ++j) e.push_back("ACGT"[rng() % 4]);
        if (i > 0 && rng() % 4 == 0) e = listed[rng() % listed.size()];
        listed.push_back(e);
        text += e + "\n";
    }
    const naive_whitelist want = naive_read(text, true);
    // A plain file tells its size, so the table is sized once; a gzip file
    // of several members tells only its last member's, so the table starts
    // small and doubles while repeats keep arriving.
    for (const bool gz : {false, true}) {
        SCOPED_TRACE(gz ? "gzip members" : "plain");
        write_file(dir.file("wl"), gz ? gzip_member(text, 1) + gzip_member("", 1) : text);
        const uint64_t runs = velmora_test::alloc_fault_sweep([&](uint64_t) {
            try {
                const whitelist got =
                    velmora_pipeline::load_whitelist(dir.file("wl"), {.count_multiplicity = true, .compact = true});
                EXPECT_FALSE(velmora_test::alloc_injected());
                ASSERT_TRUE(got.is_packed());
                ASSERT_EQ(got.size(), want.entries.size());
                for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(std::string(got.entry(i)), want.entries[i]) << i;
                EXPECT_EQ(got.multiplicity, want.multiplicity);
                EXPECT_EQ(got.repeats_dropped, want.repeats);
            } catch (const std::bad_alloc &) {
                EXPECT_TRUE(velmora_test::alloc_injected());
            }
        });
        EXPECT_GE(runs, gz ? 10u : 3u);  // from 1024 slots doubled to 2^19, or sized at once
    }
}

TEST(Whitelist, ErrorsNameTheLine) {
    scratch_dir dir;
    struct {
        std::string text;
        uint64_t limit;
        std::string message;
    } cases[] = {
        {"ACGT\n# comment\nACGT,1\n", 1000, "line 3: not a sequence: 'ACGT,1'"},
        {"ACGT\nAC GT\n", 1000, "line 2: not a sequence: 'AC GT'"},
        {"ACGT\r\n\r\nAC\x01T", 1000, "line 3: not a sequence: 'AC\\x01T'"},
        {"# only a comment\n\n  \n", 1000, "has no entries"},
        {"", 1000, "has no entries"},
        {"ACGT\nACGTACGT\n", 6, "line 2: longer than the limit of 6 bytes"},
        {"ACGT\n\nACGTACGT", 6, "line 3: longer than the limit of 6 bytes"},
        {"ACGT\r\nACGTAC\r\n", 6, ""},
        // One line outgrows the reader's buffer, stopped before it is held.
        {"ACGT\n" + std::string(5u << 20, 'A') + "\n", 1u << 20, "line 2: longer than the limit of 1,048,576 bytes"},
        {"ACGT\n" + std::string(3u << 20, 'A'), 3u << 20, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        write_file(dir.file("wl"), c.text);
        std::string got;
        try {
            velmora_pipeline::load_whitelist(dir.file("wl"), {.max_line_length = c.limit, .compact = true});
        } catch (const data_error &e) {
            got = e.what();
        }
        if (c.message.empty()) {
            EXPECT_EQ(got, "");
        } else {
            EXPECT_NE(got.find("whitelist '" + dir.file("wl") + "'"), std::string::npos) << got;
            EXPECT_NE(got.find(c.message), std::string::npos) << got;
        }
    }
}

}  // namespace
