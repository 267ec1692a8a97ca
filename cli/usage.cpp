#include "cli/usage.h"

#include <algorithm>
#include <cstdio>

#include "upgrade/record/verdict.h"

namespace {

const size_t HELP_WIDTH = 79;
const size_t NAME_COLUMN = 28;

// Words filled into lines of at most width characters; a line break of the
// text stays one.
std::string wrapped(const std::string& text, size_t width) {
  std::string out, line;
  size_t at = 0;
  auto flush = [&] {
    out += line;
    line.clear();
  };
  while (at <= text.size()) {
    const size_t end = std::min(text.find_first_of(" \n", at), text.size());
    const std::string word = text.substr(at, end - at);
    if (!word.empty()) {
      if (!line.empty() && line.size() + 1 + word.size() > width) {
        flush();
        out += '\n';
      }
      line += (line.empty() ? "" : " ") + word;
    }
    if (end < text.size() && text[end] == '\n') {
      flush();
      out += '\n';
    }
    at = end + 1;
  }
  flush();
  return out;
}

// The options' names in the left column, their value's type beside them
// (FILE, MS, N: set as each option's text), the description wrapped on the
// right; no defaults or validators in the left column (the descriptions
// say them in words).
class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() {
    column_width(NAME_COLUMN);
    label("Positionals", "Arguments");
    label("SUBCOMMAND", "COMMAND");
  }
  // One blank line between the parts, never two.
  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
    std::string text = CLI::Formatter::make_help(app, std::move(name), mode);
    for (size_t at = text.find("\n\n\n"); at != std::string::npos; at = text.find("\n\n\n"))
      text.erase(at, 1);
    while (text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\n") == 0) text.pop_back();
    return text;
  }
  std::string make_option_opts(const CLI::Option* opt) const override {
    return opt->get_option_text().empty() ? "" : " " + opt->get_option_text();
  }
  std::string make_option_desc(const CLI::Option* opt) const override {
    return wrapped(opt->get_description(), HELP_WIDTH - NAME_COLUMN);
  }
  std::string make_description(const CLI::App* app) const override {
    const std::string text = app->get_description();
    return text.empty() ? "" : wrapped(text, HELP_WIDTH) + "\n\n";
  }
  std::string make_subcommand(const CLI::App* sub) const override {
    std::string out = "  " + sub->get_name();
    out.resize(std::max(out.size() + 1, NAME_COLUMN), ' ');
    std::string description = wrapped(sub->get_description(), HELP_WIDTH - NAME_COLUMN);
    for (size_t at = description.find('\n'); at != std::string::npos;
         at = description.find('\n', at + 1))
      description.insert(at + 1, std::string(NAME_COLUMN, ' '));
    return out + description + "\n";
  }
};

// Edits between a and b, at most limit + 1 (an adjacent swap is one).
size_t edits_between(const std::string& a, const std::string& b, size_t limit) {
  const size_t n = a.size(), m = b.size();
  if ((n > m ? n - m : m - n) > limit) return limit + 1;
  std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
  for (size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (size_t i = 1; i <= n; ++i)
    for (size_t j = 1; j <= m; ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[n][m];
}

// The one name among names one edit from word; empty when none or several.
std::string one_edit_away(const std::string& word, const std::vector<std::string>& names) {
  std::string found;
  for (const std::string& name : names)
    if (edits_between(word, name, 1) <= 1) {
      if (!found.empty() && found != name) return "";
      found = name;
    }
  return found;
}

std::vector<std::string> long_names(const CLI::App& command) {
  std::vector<std::string> names;
  for (const CLI::Option* opt : command.get_options())
    for (const std::string& name : opt->get_lnames()) names.push_back("--" + name);
  return names;
}

std::vector<std::string> command_names(CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app.get_subcommands({})) names.push_back(sub->get_name());
  return names;
}

bool is_command_name(CLI::App& app, const std::string& word) {
  const std::vector<std::string> names = command_names(app);
  return std::find(names.begin(), names.end(), word) != names.end();
}

}  // namespace

std::shared_ptr<CLI::Formatter> help_formatter() { return std::make_shared<HelpFormatter>(); }

CLI::App* command_of(CLI::App& app, const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (is_command_name(app, arg)) return app.get_subcommand(arg);
  }
  return &app;
}

std::string unknown_argument_text(CLI::App& app, const CLI::App& command,
                                  const std::vector<std::string>& args) {
  // No command yet: the first word is meant for one.
  if (&command == &app) {
    for (const std::string& arg : args) {
      if (arg.empty() || arg[0] == '-') continue;
      const std::string meant = one_edit_away(arg, command_names(app));
      return "no command \"" + arg + "\"" + (meant.empty() ? "" : "; did you mean " + meant + "?");
    }
    return "";
  }
  const std::vector<std::string> names = long_names(command);
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-') continue;
    const std::string name = arg.substr(0, arg.find('='));
    if (name.compare(0, 2, "--") == 0 ? command.get_option_no_throw(name) != nullptr
                                      : name.size() == 2 && command.get_option_no_throw(name) != nullptr)
      continue;
    if (app.get_option_no_throw(name)) continue;  // --version, the tool's --help
    const std::string meant = one_edit_away(name, names);
    return "unknown option " + name + (meant.empty() ? "" : "; did you mean " + meant + "?");
  }
  return "";
}

int usage_error(const CLI::App& app, const CLI::App& command, const std::string& message) {
  const std::string name = &command == &app ? app.get_name() : app.get_name() + " " + command.get_name();
  std::fprintf(stderr, "%s: %s\nRun '%s --help' for the %s.\n", app.get_name().c_str(),
               message.c_str(), name.c_str(), &command == &app ? "commands" : "options");
  return EXIT_USAGE;
}
