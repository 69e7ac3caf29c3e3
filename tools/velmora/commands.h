// The velmora command's subcommands: each parses its options, runs and
// returns the exit status, or throws a velmora_pipeline error for main() to
// report.
#ifndef VELMORA_TOOL_COMMANDS_H
#define VELMORA_TOOL_COMMANDS_H

namespace velmora_tool {

int run_assign(int argc, char **argv);
int run_audit(int argc, char **argv);
int run_distance(int argc, char **argv);
int run_tag(int argc, char **argv);

}  // namespace velmora_tool

#endif
