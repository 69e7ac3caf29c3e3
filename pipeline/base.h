// The read pipeline's common ground: error kinds, timing and formatting.
//
// The pipeline is what the velmora command and the Python extension both run
// over the library: it reads files, decides reads and writes the outputs.
// The library does no I/O; everything that touches files, terminals or
// threads lives here.  Errors travel as exceptions up to the caller: the
// command prints one line and picks the exit status (2 for a command line or
// options it cannot accept, 1 for input data or files it cannot use), the
// Python extension raises.
#ifndef VELMORA_PIPELINE_BASE_H
#define VELMORA_PIPELINE_BASE_H

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora_pipeline {

inline constexpr int exit_ok = 0;
inline constexpr int exit_data_error = 1;
inline constexpr int exit_usage_error = 2;

// Options the pipeline cannot accept (exit status 2).
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A file or its contents that the pipeline cannot use (exit status 1).
struct data_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Seconds since an arbitrary start, monotonic.
inline double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// CPU time of the calling thread, in seconds: phase timings stay meaningful
// on a machine shared with other work.
double thread_cpu_seconds();

// Hardware threads, at least 1.
unsigned default_thread_count();

// Run once at start, before any file is opened: a standard stream the tool
// was started without (`<&-`) is held open on /dev/null, so that no file the
// run opens takes its descriptor (a spool or an output read back as if it
// were standard input); standard_stream_open then says it was closed, and
// "-" on it is an error instead of an empty input or a lost output.
void guard_standard_streams();
bool standard_stream_open(int fd);

// Terminating signals that arrive without a handler must not leave temporary
// files behind: they are removed and the signal is raised again.  A signal
// the tool started with ignored stays ignored (nohup, background jobs).
// SIGXFSZ is ignored, so that a write past a file-size limit fails with EFBIG
// and takes the ordinary error path.
void install_signal_handlers();

// A number with a fixed count of decimals, for JSON and summaries.
std::string format_fixed(double value, int decimals);
// An integer with thousands separators, for human-readable summaries.
std::string format_count(uint64_t value);

}  // namespace velmora_pipeline

#endif
