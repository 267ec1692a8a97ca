#pragma once
// The tool's help and usage errors: the options in the order an operator
// needs them, wrapped to the terminal's 80 columns with plain types (FILE,
// MS, N); a usage error in one line, then where the options are told, with
// the option meant when one edit away from a known one.
#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

// The help's layout; set on the tool before its commands are added.
std::shared_ptr<CLI::Formatter> help_formatter();

// The command of the arguments (the first word naming one), else the tool.
CLI::App* command_of(CLI::App& app, const std::vector<std::string>& args);

// "unknown option --dryrun; did you mean --dry-run?" for the first argument
// that the command does not know (an option, or the command's own name);
// empty when every one is known.
std::string unknown_argument_text(CLI::App& app, const CLI::App& command,
                                  const std::vector<std::string>& args);

// Prints the message and the line naming the command's help, on stderr;
// the usage status.
int usage_error(const CLI::App& app, const CLI::App& command, const std::string& message);
