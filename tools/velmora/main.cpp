// velmora: assign sequencing reads to a barcode whitelist, correct the
// barcodes of BAM records, audit a whitelist, and compute edit distances, on
// top of libvelmora.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "base.h"
#include "commands.h"
#include "velmora.h"

namespace {

const char top_help[] =
    "usage: velmora <command> [options]\n"
    "\n"
    "Commands:\n"
    "  assign     assign the barcode of every read of a FASTQ file to a whitelist\n"
    "  audit      report how well the entries of a whitelist are separated\n"
    "  distance   print the edit distance of two sequences\n"
    "  tag        correct the barcodes of a BAM file's records and add them as CB\n"
    "\n"
    "  velmora <command> --help   shows the options of a command\n"
    "  velmora --version          shows the version\n"
    "\n"
    "Exit status: 0 on success, 1 on a data or file error, 2 on a usage error.\n";

void print_version() {
    std::printf("velmora %d.%d.%d\n", VELMORA_VERSION_MAJOR, VELMORA_VERSION_MINOR,
                VELMORA_VERSION_PATCH);
}

}  // namespace

int main(int argc, char **argv) {
    using namespace velmora_pipeline;
    using namespace velmora_tool;
    guard_standard_streams();
    install_signal_handlers();
    if (argc < 2) {
        std::fputs(top_help, stderr);
        return exit_usage_error;
    }
    const std::string command = argv[1];
    try {
        if (command == "--help" || command == "-h" || command == "help") {
            std::fputs(top_help, stdout);
            return exit_ok;
        }
        if (command == "--version" || command == "-V") {
            print_version();
            return exit_ok;
        }
        if (command == "assign") return run_assign(argc, argv);
        if (command == "audit") return run_audit(argc, argv);
        if (command == "distance") return run_distance(argc, argv);
        if (command == "tag") return run_tag(argc, argv);
        throw usage_error("unknown command '" + command + "' (try 'velmora --help')");
    } catch (const usage_error &e) {
        std::fprintf(stderr, "velmora %s: %s\n", command.c_str(), e.what());
        return exit_usage_error;
    } catch (const data_error &e) {
        std::fprintf(stderr, "velmora %s: error: %s\n", command.c_str(), e.what());
        return exit_data_error;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "velmora %s: error: out of memory\n", command.c_str());
        return exit_data_error;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmora %s: error: %s\n", command.c_str(), e.what());
        return exit_data_error;
    }
}
