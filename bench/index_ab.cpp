// Two builds of the library timed against each other on the index's lookups,
// in one process: both are loaded with dlopen, each builds its own index over
// the same list, and their rounds over the same reads alternate (the order
// flips every round), so that both meet the same load on a shared machine.
// The reads are the mix of the idx/ rows of velmora_bench (draw_reads), and
// every round's records are checked to agree.
//
//   g++ -O2 -std=c++20 -Iinclude -Ibench bench/index_ab.cpp bench/bench_data.cpp -o index_ab -ldl -lz
//   ./index_ab OLD.so NEW.so LIST OP [ROUNDS] [READS]
//
// LIST is a gzip file of barcodes or rand16 (1,000,000 random 16-base
// entries).  OP is exact_one, exact_many, exact_ascii_many, assign_k1,
// assign_k2, status_k1 or hamming_k1.  Prints the median and the least CPU
// time per read of each build, their ratios old / new (above 1: new faster)
// and the median of the rounds' own ratios.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ab_load.h"
#include "bench_data.h"
#include "velmora.h"

namespace {

using velmora_bench::cpu_microseconds;
using velmora_bench::find;
using velmora_bench::load_library;

using velmora_bench::batch_fn;
using velmora_bench::exact_batch_fn;

struct library {
    decltype(&vorn_index_build) build;
    decltype(&vorn_index_lookup_exact_stats) exact_one;
    exact_batch_fn exact_many;
    exact_batch_fn exact_ascii_many;
    batch_fn assign;
    batch_fn status;
    batch_fn hamming;
};


library load(const char *path) {
    void *h = load_library(path);
    library l;
    find(h, "vorn_index_build", &l.build);
    find(h, "vorn_index_lookup_exact_stats", &l.exact_one);
    find(h, "vorn_index_lookup_exact_many_stats", &l.exact_many);
    find(h, "vorn_index_lookup_exact_ascii_many_stats", &l.exact_ascii_many);
    find(h, "vorn_index_assign_stats", &l.assign);
    find(h, "vorn_index_assign_status_stats", &l.status);
    find(h, "vorn_index_assign_hamming_stats", &l.hamming);
    return l;
}


}  // namespace

int main(int argc, char **argv) {
    using namespace velmora_bench;
    if (argc < 5) {
        std::fprintf(stderr, "usage: index_ab OLD.so NEW.so LIST OP [ROUNDS] [READS]\n");
        return 2;
    }
    const library lib[2] = {load(argv[1]), load(argv[2])};
    const std::string list = argv[3], op = argv[4];
    const int rounds = argc > 5 ? std::atoi(argv[5]) : 11;
    const size_t n_reads = argc > 6 ? std::strtoul(argv[6], nullptr, 10) : 200000;
    std::string error;
    const seq_list refs = list == "rand16" ? random_refs(16, 1000000, 16) : load_whitelist(list, &error);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    vorn_index *index[2];
    for (int i = 0; i < 2; ++i) index[i] = lib[i].build(refs.ptrs.data(), refs.lens.data(), refs.size());
    const read_batch data = draw_reads(refs, 99, n_reads);
    const auto *q = data.reads.ptrs.data();
    const size_t *ql = data.reads.lens.data();
    std::vector<double> times[2];
    std::vector<vorn_match> answers[2];
    constexpr size_t CHUNK = 1024;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const int i = (round & 1) != 0 ? 1 - turn : turn;
            const library &l = lib[i];
            answers[i].assign(n_reads, vorn_match{});
            vorn_match *out = answers[i].data();
            vorn_stats stats{};
            const double start = cpu_microseconds();
            for (size_t at = 0; at < n_reads; at += CHUNK) {
                const size_t n = std::min(CHUNK, n_reads - at);
                if (op == "exact_one") {
                    for (size_t j = at; j < at + n; ++j) l.exact_one(index[i], q[j], ql[j], &out[j], nullptr);
                } else if (op == "exact_many") {
                    l.exact_many(index[i], q + at, ql + at, n, out + at, &stats);
                } else if (op == "exact_ascii_many") {
                    l.exact_ascii_many(index[i], q + at, ql + at, n, out + at, &stats);
                } else if (op == "assign_k1" || op == "assign_k2") {
                    l.assign(index[i], q + at, ql + at, n, op == "assign_k1" ? 1 : 2, out + at, &stats);
                } else if (op == "status_k1") {
                    l.status(index[i], q + at, ql + at, n, 1, out + at, &stats);
                } else if (op == "hamming_k1") {
                    l.hamming(index[i], q + at, ql + at, n, 1, out + at, &stats);
                } else {
                    std::fprintf(stderr, "unknown op %s\n", op.c_str());
                    return 2;
                }
            }
            times[i].push_back((cpu_microseconds() - start) * 1000.0 / static_cast<double>(n_reads));
        }
        for (size_t j = 0; j < n_reads; ++j) {
            if (!same_match(answers[0][j], answers[1][j])) {
                std::fprintf(stderr, "the builds disagree on read %s: %s against %s\n",
                             data.reads.seqs[j].c_str(), describe(answers[0][j]).c_str(),
                             describe(answers[1][j]).c_str());
                return 1;
            }
        }
    }
    // Each round's two timings ran side by side, so their ratio is the
    // figure least moved by a load that comes and goes between rounds.
    std::vector<double> paired;
    for (int r = 0; r < rounds; ++r) paired.push_back(times[0][r] / times[1][r]);
    std::sort(paired.begin(), paired.end());
    double median[2], least[2];
    for (int i = 0; i < 2; ++i) {
        std::sort(times[i].begin(), times[i].end());
        median[i] = times[i][times[i].size() / 2];
        least[i] = times[i][0];
    }
    std::printf("%s %s, %zu reads, %d rounds: old %.1f ns/read (least %.1f), new %.1f ns/read "
                "(least %.1f): %.2fx (least %.2fx, paired median %.2fx)\n",
                list.c_str(), op.c_str(), n_reads, rounds, median[0], least[0], median[1], least[1],
                median[0] / median[1], least[0] / least[1], paired[paired.size() / 2]);
    return 0;
}
