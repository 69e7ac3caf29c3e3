// The command_line class over CLI11; the only translation unit that includes
// its headers.
#include "cli.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

#include "base.h"

namespace velmora_tool {

using namespace velmora_pipeline;

struct command_line::impl {
    CLI::App app;
    std::string help;
    impl(const char *name, const char *help_text) : app(name), help(help_text) {}
    CLI::Option *find(const char *name) {
        CLI::Option *o = app.get_option_no_throw(name);
        if (!o) throw std::logic_error(std::string("undeclared option ") + name);
        return o;
    }
};

command_line::command_line(const char *name, const char *help_text)
    : impl_(std::make_unique<impl>(name, help_text)) {
    const std::string text = impl_->help;
    impl_->app.formatter_fn([text](const CLI::App *, std::string, CLI::AppFormatMode) { return text; });
    impl_->app.set_help_flag("-h,--help", "show this help");
}

command_line::~command_line() = default;

void command_line::option(const char *name, std::string *value, bool required) {
    CLI::Option *o = impl_->app.add_option(name, *value);
    if (required) o->required();
}

void command_line::option(const char *name, std::vector<std::string> *values, bool required) {
    CLI::Option *o = impl_->app.add_option(name, *values)->allow_extra_args(false);
    if (required) o->required();
}

void command_line::option(const char *name, std::vector<std::vector<std::string>> *groups, bool required) {
    CLI::Option *o = impl_->app.add_option(name, *groups)->expected(1, CLI::detail::expected_max_vector_size);
    if (required) o->required();
}

void command_line::option(const char *name, int32_t *value, int32_t lo, int32_t hi) {
    impl_->app.add_option(name, *value)->check(CLI::Range(lo, hi));
}

void command_line::option(const char *name, uint32_t *value, uint32_t lo, uint32_t hi) {
    impl_->app.add_option(name, *value)->check(CLI::Range(lo, hi));
}

void command_line::option(const char *name, uint64_t *value, uint64_t lo, uint64_t hi) {
    impl_->app.add_option(name, *value)->check(CLI::Range(lo, hi));
}

void command_line::option(const char *name, double *value, double lo, double hi) {
    impl_->app.add_option(name, *value)
        ->check(CLI::Validator(
            [lo, hi](std::string &s) -> std::string {
                char *end = nullptr;
                const double v = std::strtod(s.c_str(), &end);
                if (s.empty() || *end != '\0' || !(v >= lo && v <= hi))
                    return "value " + s + " is not a number from " + format_fixed(lo, 2) + " to " +
                           format_fixed(hi, 2);
                return std::string();
            },
            "NUMBER"));
}

void command_line::flag(const char *name, bool *value) {
    if (value)
        impl_->app.add_flag(name, *value);
    else
        impl_->app.add_flag(name);
}

void command_line::positionals(const char *name, std::vector<std::string> *values) {
    impl_->app.add_option(name, *values);
}

void command_line::excludes(const char *a, const char *b) { impl_->find(a)->excludes(impl_->find(b)); }

bool command_line::parse(int argc, char **argv) {
    try {
        impl_->app.parse(argc - 1, argv + 1);
    } catch (const CLI::CallForHelp &) {
        std::fputs(impl_->help.c_str(), stdout);
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

size_t command_line::count(const char *name) const { return impl_->find(name)->count(); }

}  // namespace velmora_tool
