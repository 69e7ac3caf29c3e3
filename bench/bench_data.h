// Deterministic benchmark data: random sequences, edited copies, the read
// mix drawn from a reference list, the reference lists themselves (random or
// the real barcode list read from disk), and small brute-force oracles used to
// check that the contenders agree before anything is timed.
#ifndef VELMORA_BENCH_DATA_H
#define VELMORA_BENCH_DATA_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "velmora.h"

namespace velmora_bench {

// splitmix64: small, fast and the same on every platform, so a seed names
// the same data everywhere.
class rng {
public:
    explicit rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n), n > 0 (the modulo bias is irrelevant here).
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    char base() { return "ACGT"[next() & 3]; }
    char other_base(char b) {
        char c;
        do c = base();
        while (c == b);
        return c;
    }

private:
    uint64_t state_;
};

std::string random_seq(rng &r, size_t len);

// One random substitution (to a different base), insertion or deletion.
enum class edit_kind { substitution, insertion, deletion };
void apply_edit(rng &r, std::string &s, edit_kind kind);
void apply_random_edit(rng &r, std::string &s);

// A copy of s with round(len * percent / 100) random edits (at least one).
std::string related_copy(rng &r, const std::string &s, unsigned percent);

// A list of sequences with the pointer and length arrays the C API takes.
struct seq_list {
    std::vector<std::string> seqs;
    std::vector<const uint8_t *> ptrs;
    std::vector<size_t> lens;
    void finish();  // fills ptrs and lens from seqs
    size_t size() const { return seqs.size(); }
};

// n random references of len bases (seeded).
seq_list random_refs(uint64_t seed, size_t n, size_t len);

// The real list, one barcode per line of a gzip file.  Empty when the file is
// missing or unreadable; *error says why.
seq_list load_whitelist(const std::string &path, std::string *error);

// Read classes of the mix: 85% exact copies, 10% one substitution, 3% one
// insertion or deletion, 1% two edits, 1% one N.
enum read_class : uint8_t { READ_EXACT, READ_SUB, READ_INDEL, READ_TWO, READ_N, READ_CLASSES };
struct read_batch {
    seq_list reads;
    std::vector<uint8_t> classes;
};
read_batch draw_reads(const seq_list &refs, uint64_t seed, size_t n);

// Reads as vorn_rescue_read sees them in a run.  cells entries of the list
// get exact counts from 1 to 4096, roughly log-uniform (the rest 0); each
// read is a cell's entry (nine in ten) or any entry, with 0 to 2 errors of a
// random kind (substitution, insertion, deletion, N), then a random tail of
// tail bases for the window's end to move into, and Phred+33 qualities 20 to
// 40.  Only reads that keep(read) accepts are taken (the benchmarks leave out
// the exact unique matches, which a run assigns before the rescue), until
// there are n.
struct rescue_reads {
    std::vector<std::string> reads;
    std::vector<std::string> quals;
    std::vector<uint64_t> counts;  // per entry of the list
};
rescue_reads draw_rescue_reads(const seq_list &refs, uint64_t seed, size_t n, size_t cells,
                               size_t tail, const std::function<bool(const std::string &)> &keep);

// Indices of a sample of the batch with every class represented: up to
// per_class reads of each class, in batch order.
std::vector<size_t> stratified_sample(const read_batch &batch, size_t per_class);

// Brute-force Hamming record of one query (only references of its length
// count), following the library's own update rule.
vorn_match brute_hamming(const seq_list &refs, const std::string &q, uint32_t k);

bool same_match(const vorn_match &a, const vorn_match &b);
std::string describe(const vorn_match &m);

}  // namespace velmora_bench

#endif
