// Shared pieces of the velmora command-line tool: error kinds with their exit
// statuses, option parsing, timing and the subcommand entry points.
//
// The library does no I/O; everything that touches files, terminals or
// threads lives here.  Errors travel as exceptions up to main(), which prints
// one line and picks the exit status: 2 for a command line the tool cannot
// accept, 1 for input data or files it cannot use.
#ifndef VELMORA_TOOL_H
#define VELMORA_TOOL_H

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora_tool {

inline constexpr int exit_ok = 0;
inline constexpr int exit_data_error = 1;
inline constexpr int exit_usage_error = 2;

// A command line the tool cannot accept (exit status 2).
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A file or its contents that the tool cannot use (exit status 1).
struct data_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Command-line arguments after the subcommand, consumed left to right.
// Accepts "--name value" and "--name=value".
class arg_list {
public:
    arg_list(int argc, char **argv, int first);
    bool done() const { return pos_ >= args_.size(); }
    // The next argument; if it is "--name=value", splits it and keeps the
    // value for value().
    std::string next();
    // The value of the option just returned by next().
    std::string value(const std::string &option);
    // True when the option just returned carried its value inline.
    bool has_inline_value() const { return inline_value_set_; }

private:
    std::vector<std::string> args_;
    size_t pos_ = 0;
    std::string inline_value_;
    bool inline_value_set_ = false;
};

// Parses a whole decimal number in [lo, hi]; a usage_error names the option.
int64_t parse_integer(const std::string &option, const std::string &text, int64_t lo, int64_t hi);

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

// Appends the JSON string literal of text (quotes included).
void json_append_string(std::string &out, std::string_view text);
// A number with a fixed count of decimals, for JSON and summaries.
std::string format_fixed(double value, int decimals);
// An integer with thousands separators, for human-readable summaries.
std::string format_count(uint64_t value);

int run_assign(int argc, char **argv);
int run_audit(int argc, char **argv);
int run_distance(int argc, char **argv);

}  // namespace velmora_tool

#endif
