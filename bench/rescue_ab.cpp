// Two builds of the library timed against each other on vorn_rescue_read, in
// one process: both are loaded with dlopen, each builds its own index over
// the same list, and their rounds over the same reads alternate (the order
// flips every round), so that both meet the same load on a shared machine.
// The reads are those of the rescue rows of velmora_bench (draw_rescue_reads:
// not exact unique matches).  Every round's answers are checked to agree.
//
//   g++ -O2 -std=c++20 -Iinclude -Ibench bench/rescue_ab.cpp bench/bench_data.cpp -o rescue_ab -ldl -lz
//   ./rescue_ab OLD.so NEW.so LIST K [ROUNDS] [READS] [--one-unknown]
//
// LIST is a gzip file of barcodes or rand16 (737,280 random 16-base
// entries).  --one-unknown leaves out the reads whose window holds two or
// more N, which no index route serves at k = 2 (every entry is measured).
// Prints the median and the least CPU time per read of each build over the
// rounds, and their ratio.
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

struct library {
    decltype(&vorn_index_build) build;
    decltype(&vorn_index_hits) hits;
    decltype(&vorn_rescue_read) rescue;
    decltype(&vorn_rescue_params_default) defaults;
};


library load(const char *path) {
    void *h = load_library(path);
    library l;
    find(h, "vorn_index_build", &l.build);
    find(h, "vorn_index_hits", &l.hits);
    find(h, "vorn_rescue_read", &l.rescue);
    find(h, "vorn_rescue_params_default", &l.defaults);
    return l;
}


}  // namespace

int main(int argc, char **argv) {
    using namespace velmora_bench;
    std::vector<std::string> args;
    bool one_unknown = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--one-unknown") == 0) one_unknown = true;
        else args.push_back(argv[i]);
    }
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: rescue_ab OLD.so NEW.so LIST K [ROUNDS] [READS] [--one-unknown]\n");
        return 2;
    }
    const library lib[2] = {load(args[0].c_str()), load(args[1].c_str())};
    const int32_t k = std::atoi(args[3].c_str());
    const int rounds = args.size() > 4 ? std::atoi(args[4].c_str()) : 9;
    const size_t n_reads = args.size() > 5 ? std::strtoul(args[5].c_str(), nullptr, 10) : 20000;
    std::string error;
    const seq_list refs = args[2] == "rand16" ? random_refs(16737, 737280, 16)
                                              : load_whitelist(args[2], &error);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    vorn_index *index[2];
    for (int i = 0; i < 2; ++i) index[i] = lib[i].build(refs.ptrs.data(), refs.lens.data(), refs.size());
    const size_t window = refs.lens[0];
    const rescue_reads data =
        draw_rescue_reads(refs, 4242 + refs.size(), n_reads, 2000, 12, [&](const std::string &read) {
            const size_t fixed = std::min(window, read.size());
            if (one_unknown && std::count(read.begin(), read.begin() + static_cast<std::ptrdiff_t>(fixed), 'N') >= 2)
                return false;
            size_t exact = 0;
            vorn_hit first[2];
            lib[0].hits(index[0], reinterpret_cast<const uint8_t *>(read.data()), fixed,
                        VORN_METRIC_EDIT, 0, first, 2, &exact);
            return exact != 1;
        });
    vorn_rescue_params params;
    lib[0].defaults(&params);
    params.k = k;
    std::vector<double> times[2];
    std::vector<vorn_rescue_result> answers[2];
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const int i = (round & 1) != 0 ? 1 - turn : turn;
            answers[i].assign(data.reads.size(), vorn_rescue_result{});
            vorn_hit hits[8];
            size_t n = 0;
            const double start = cpu_microseconds();
            for (size_t j = 0; j < data.reads.size(); ++j) {
                const std::string &read = data.reads[j];
                lib[i].rescue(index[i], reinterpret_cast<const uint8_t *>(read.data()),
                              reinterpret_cast<const uint8_t *>(data.quals[j].data()), read.size(),
                              window, data.counts.data(), data.counts.size(), &params, hits, 8, &n,
                              &answers[i][j]);
            }
            times[i].push_back((cpu_microseconds() - start) / static_cast<double>(data.reads.size()));
        }
        for (size_t j = 0; j < data.reads.size(); ++j) {
            const vorn_rescue_result &a = answers[0][j], &b = answers[1][j];
            if (a.status != b.status || a.ref_index != b.ref_index || a.distance != b.distance ||
                a.second_distance != b.second_distance || a.hit_count != b.hit_count ||
                std::memcmp(&a.posterior, &b.posterior, sizeof a.posterior) != 0) {
                std::fprintf(stderr, "the builds disagree on read %s\n", data.reads[j].c_str());
                return 1;
            }
        }
    }
    double median[2], least[2];
    for (int i = 0; i < 2; ++i) {
        std::sort(times[i].begin(), times[i].end());
        median[i] = times[i][times[i].size() / 2];
        least[i] = times[i][0];
    }
    std::printf("%s k=%d, %zu reads%s, %d rounds: old %.3g us/read (least %.3g), new %.3g us/read "
                "(least %.3g): %.2fx\n",
                args[2].c_str(), k, data.reads.size(), one_unknown ? " (at most one N)" : "",
                rounds, median[0], least[0], median[1], least[1], median[0] / median[1]);
    return 0;
}
