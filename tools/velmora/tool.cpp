// Option parsing and formatting helpers shared by the subcommands.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "tool.h"

namespace velmora_tool {

arg_list::arg_list(int argc, char **argv, int first) {
    for (int i = first; i < argc; ++i) args_.emplace_back(argv[i]);
}

std::string arg_list::next() {
    std::string a = args_[pos_++];
    inline_value_set_ = false;
    if (a.size() > 2 && a[0] == '-' && a[1] == '-') {
        const size_t eq = a.find('=');
        if (eq != std::string::npos) {
            inline_value_ = a.substr(eq + 1);
            inline_value_set_ = true;
            a.resize(eq);
        }
    }
    return a;
}

std::string arg_list::value(const std::string &option) {
    if (inline_value_set_) {
        inline_value_set_ = false;
        return inline_value_;
    }
    // "--x" after an option is the next option, not its value: the value
    // was forgotten.  (A single dash still passes, for "-" and "-1".)
    if (pos_ >= args_.size() || args_[pos_].rfind("--", 0) == 0)
        throw usage_error("option " + option + " needs a value");
    return args_[pos_++];
}

int64_t parse_integer(const std::string &option, const std::string &text, int64_t lo, int64_t hi) {
    const char *s = text.c_str();
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s, &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || v < lo || v > hi) {
        char range[96];
        std::snprintf(range, sizeof range, "%" PRId64 " to %" PRId64, lo, hi);
        throw usage_error("option " + option + " takes a whole number from " + range +
                          ", not '" + text + "'");
    }
    return v;
}

double thread_cpu_seconds() {
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

unsigned default_thread_count() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

void json_append_string(std::string &out, std::string_view text) {
    out.push_back('"');
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out.push_back(ch);
        }
    }
    out.push_back('"');
}

std::string format_fixed(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::string format_count(uint64_t value) {
    std::string digits = std::to_string(value);
    std::string out;
    const size_t n = digits.size();
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

}  // namespace velmora_tool
