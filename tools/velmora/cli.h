// Command lines of the subcommands, parsed with CLI11.
//
// Each subcommand declares its options on a CLI::App and keeps its own
// hand-written help text, laid out for a reader (usage, option groups, what
// the output means), which --help prints instead of CLI11's generated list.
// Parse errors become usage_error (exit status 2) with the subcommand's name.
#ifndef VELMORA_TOOL_CLI_H
#define VELMORA_TOOL_CLI_H

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "tool.h"

namespace velmora_tool {

// Parses argv[2..] (argv[1] is the subcommand).  Returns true when --help
// was given: the help text has been printed and the command should stop.
inline bool parse_command_line(CLI::App &app, const char *help_text, int argc, char **argv) {
    const std::string text = help_text;
    app.formatter_fn([text](const CLI::App *, std::string, CLI::AppFormatMode) { return text; });
    app.set_help_flag("-h,--help", "show this help");
    try {
        app.parse(argc - 1, argv + 1);
    } catch (const CLI::CallForHelp &) {
        std::fputs(help_text, stdout);
        return true;
    } catch (const CLI::ParseError &e) {
        std::string msg = e.what();
        // CLI11 words a repeated option and a missing value as counts of
        // arguments; say what happened instead.
        const size_t colon = msg.find(':');
        const std::string name = colon == std::string::npos ? "" : msg.substr(0, colon);
        if (msg.find("At Most 1 required but received") != std::string::npos)
            msg = "option " + name + " is given twice";
        else if (e.get_name() == "ArgumentMismatch" && msg.find(" missing") != std::string::npos)
            msg = "option " + name + " needs a value";
        throw usage_error(msg);
    }
    return false;
}

// Checks a floating-point option against [lo, hi].
inline CLI::Validator unit_range(double lo, double hi) {
    return CLI::Validator(
        [lo, hi](std::string &s) -> std::string {
            char *end = nullptr;
            const double v = std::strtod(s.c_str(), &end);
            if (s.empty() || *end != '\0' || !(v >= lo && v <= hi))
                return "value " + s + " is not a number from " + format_fixed(lo, 2) + " to " +
                       format_fixed(hi, 2);
            return std::string();
        },
        "NUMBER");
}

}  // namespace velmora_tool

#endif
