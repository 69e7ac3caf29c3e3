// Replays fuzz inputs through a harness without libFuzzer, so the ordinary
// build and test command exercise every harness over its committed corpus.
// Arguments are files or directories (read one level deep), and
// --random=N, which adds N random inputs drawn from VELMORA_TEST_SEED (or a
// fixed seed), a fresh sample of the same differential test on every seed.
// A harness that finds a disagreement aborts, which fails the test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool replay_file(const std::filesystem::path &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(f)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    size_t replayed = 0;
    bool ok = true;
    unsigned long random_inputs = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--random=", 9) == 0) {
            random_inputs = std::strtoul(argv[i] + 9, nullptr, 10);
            continue;
        }
        const std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            std::vector<std::filesystem::path> files;
            for (const auto &e : std::filesystem::directory_iterator(arg))
                if (e.is_regular_file()) files.push_back(e.path());
            std::sort(files.begin(), files.end());
            for (const auto &p : files) {
                ok = replay_file(p) && ok;
                ++replayed;
            }
        } else {
            ok = replay_file(arg) && ok;
            ++replayed;
        }
    }
    // Also the empty input, which every harness must take.
    LLVMFuzzerTestOneInput(nullptr, 0);
    const char *seed_env = std::getenv("VELMORA_TEST_SEED");
    const unsigned long long seed = seed_env ? std::strtoull(seed_env, nullptr, 10) : 20261206u;
    std::mt19937_64 gen(seed);
    for (unsigned long n = 0; n < random_inputs; ++n) {
        std::vector<uint8_t> bytes(gen() % 400);
        for (auto &b : bytes) b = static_cast<uint8_t>(gen());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    if (random_inputs != 0) std::printf("%lu random inputs from seed %llu\n", random_inputs, seed);
    std::printf("replayed %zu inputs\n", replayed);
    if (replayed == 0) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    return ok ? 0 : 1;
}
