// Uses the installed C++ header over the installed library.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "velmora.hpp"

int main() {
    const std::string version = std::to_string(velmora::version_major) + "." +
                                std::to_string(velmora::version_minor) + "." +
                                std::to_string(velmora::version_patch);
    if (version != EXPECTED_VERSION) {
        std::fprintf(stderr, "header version %s, package version %s\n", version.c_str(),
                     EXPECTED_VERSION);
        return 1;
    }
    try {
        const velmora::Index index(std::vector<std::string>{"ACGTACGT", "ACGTTCGT", "GGGG"});
        const std::vector<vorn_match> r = index.assign({"ACGTACGA"}, 1);
        if (velmora::status_of(r.at(0)) != velmora::Status::unique || r[0].best_index != 0 ||
            velmora::edit_distance("ACGT", "AGT") != 1) {
            std::fprintf(stderr, "unexpected result\n");
            return 1;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "exception: %s\n", e.what());
        return 1;
    }
    std::printf("velmora %s ok\n", version.c_str());
    return 0;
}
