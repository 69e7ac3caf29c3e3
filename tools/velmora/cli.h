// Command lines of the subcommands.
//
// Each subcommand declares its options on a command_line and keeps its own
// hand-written help text, laid out for a reader (usage, option groups, what
// the output means), which --help prints instead of a generated list.  Parse
// errors become usage_error (exit status 2) with the subcommand's name.
//
// CLI11 does the parsing, behind this class: its headers are heavy to
// compile, so only cli.cpp includes them.
#ifndef VELMORA_TOOL_CLI_H
#define VELMORA_TOOL_CLI_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora_tool {

class command_line {
public:
    command_line(const char *name, const char *help_text);
    ~command_line();
    command_line(const command_line &) = delete;
    command_line &operator=(const command_line &) = delete;

    // Options taking a value; integers are checked against [lo, hi].
    void option(const char *name, std::string *value, bool required = false);
    void option(const char *name, int32_t *value, int32_t lo, int32_t hi);
    void option(const char *name, uint32_t *value, uint32_t lo, uint32_t hi);
    void option(const char *name, uint64_t *value, uint64_t lo, uint64_t hi);
    // A floating-point value checked against [lo, hi].
    void option(const char *name, double *value, double lo, double hi);
    // An option that may be given several times, one value each time; the
    // values in the order given.
    void option(const char *name, std::vector<std::string> *values, bool required = false);
    // An option that takes one or more values each time it is given (up to
    // the next option): each occurrence one group, the groups in order.
    void option(const char *name, std::vector<std::vector<std::string>> *groups, bool required = false);
    // A flag without a value; *value (when given) is set when it is present.
    void flag(const char *name, bool *value = nullptr);
    // Positional arguments, collected in order.
    void positionals(const char *name, std::vector<std::string> *values);
    // Options a and b (declared before) cannot be given together.
    void excludes(const char *a, const char *b);

    // Parses argv[2..] (argv[1] is the subcommand).  Returns true when --help
    // was given: the help text has been printed and the command should stop.
    bool parse(int argc, char **argv);
    // How often an option was given.
    size_t count(const char *name) const;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace velmora_tool

#endif
