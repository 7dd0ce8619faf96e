// veltool completion bash, veltool man-commands: text made from veltool's own
// command line, so that the installed bash completion and the command list of
// veltool(1) name every subcommand and option this build has, and stay true
// as subcommands are added. Both are hidden from the command list; the build
// runs them (packaging/CMakeLists.txt).
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "veltool.h"
#include "veltool_version.h"

namespace {

// The subcommands a user sees, by name.
std::vector<const CLI::App*> VisibleCommands(const CLI::App& root) {
  auto commands = root.get_subcommands([](const CLI::App* c) { return !c->get_group().empty(); });
  std::sort(commands.begin(), commands.end(),
            [](const CLI::App* a, const CLI::App* b) { return a->get_name() < b->get_name(); });
  return commands;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

// A word the shell takes as it stands (no quoting needed in a word list).
bool PlainWord(const std::string& word) {
  return !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '+';
  });
}

bool TakesValue(const CLI::Option* opt) {
  return opt->get_expected_max() > 0 && opt->get_type_size_max() > 0;
}

// The fixed values an option takes: its option text "a|b|c", or the set an
// IsMember check lists in the type name ("TEXT:{a,b,c}").
std::vector<std::string> Choices(const CLI::Option* opt) {
  std::vector<std::string> choices;
  const std::string text = opt->get_option_text();
  if (!text.empty()) {
    if (text.find('|') != std::string::npos) choices = Split(text, '|');
  } else {
    const std::string type = opt->get_type_name();
    const size_t open = type.find(":{");
    const size_t close = type.find('}', open == std::string::npos ? 0 : open);
    if (open != std::string::npos && close != std::string::npos)
      choices = Split(type.substr(open + 2, close - open - 2), ',');
  }
  if (!std::all_of(choices.begin(), choices.end(), PlainWord)) choices.clear();
  return choices;
}

// The option's names as typed: "-h", "--help".
std::vector<std::string> OptionNames(const CLI::Option* opt) {
  std::vector<std::string> names;
  for (const std::string& s : opt->get_snames()) names.push_back("-" + s);
  for (const std::string& l : opt->get_lnames()) names.push_back("--" + l);
  return names;
}

std::string Join(const std::vector<std::string>& words, const std::string& separator) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : separator) + w;
  return out;
}

// ---- bash ----

int RunBash(const CLI::App& root) {
  std::ostringstream s;
  std::vector<std::string> commands;
  for (const CLI::App* c : VisibleCommands(root))
    if (PlainWord(c->get_name())) commands.push_back(c->get_name());
  s << "# bash completion for veltool " VELTOOL_VERSION
       " (made by \"veltool completion bash\")\n"
       "_veltool()\n"
       "{\n"
       "    local cur=${COMP_WORDS[COMP_CWORD]} opt= cmd= i words=\n"
       "    (( COMP_CWORD > 0 )) && opt=${COMP_WORDS[COMP_CWORD-1]}\n"
       "    # --name=value reaches us as three words: --name, =, value.\n"
       "    if [[ $cur == = ]]; then\n"
       "        cur=\n"
       "    elif [[ $opt == = ]] && (( COMP_CWORD > 1 )); then\n"
       "        opt=${COMP_WORDS[COMP_CWORD-2]}\n"
       "    fi\n"
       "    for (( i = 1; i < COMP_CWORD; i++ )); do\n"
       "        case ${COMP_WORDS[i]} in\n"
       "            -*) ;;\n"
       "            *) cmd=${COMP_WORDS[i]}; break ;;\n"
       "        esac\n"
       "    done\n"
       "    if [[ -z $cmd ]]; then\n"
       "        COMPREPLY=($(compgen -W '"
    << Join(commands, " ")
    << " -h --help --version' -- \"$cur\"))\n"
       "        return\n"
       "    fi\n"
       "    case $cmd in\n";
  for (const CLI::App* c : VisibleCommands(root)) {
    if (!PlainWord(c->get_name())) continue;
    std::vector<std::string> words;
    std::vector<std::string> valueCases;
    for (const CLI::Option* opt : c->get_options()) {
      if (opt->get_positional() && !opt->nonpositional()) continue;
      std::vector<std::string> names;
      for (const std::string& n : OptionNames(opt))
        if (PlainWord(n)) names.push_back(n);
      if (names.empty()) continue;
      words.insert(words.end(), names.begin(), names.end());
      if (!TakesValue(opt)) continue;
      // A value: one of the choices, else whatever the shell offers (file names).
      const std::vector<std::string> choices = Choices(opt);
      valueCases.push_back("            " + Join(names, "|") + ") " +
                           (choices.empty() ? "return ;;"
                                            : "COMPREPLY=($(compgen -W '" + Join(choices, " ") +
                                                  "' -- \"$cur\")); return ;;"));
    }
    s << "    " << c->get_name() << ")\n";
    if (!valueCases.empty()) {
      s << "        case $opt in\n";
      for (const std::string& line : valueCases) s << line << "\n";
      s << "        esac\n";
    }
    s << "        words='" << Join(words, " ") << "' ;;\n";
  }
  s << "    *) return ;;\n"
       "    esac\n"
       "    # Arguments are file names: the shell's own completion does them.\n"
       "    [[ $cur == -* ]] && COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
       "}\n"
       "complete -o default -o bashdefault -F _veltool veltool\n";
  std::cout << s.str();
  return 0;
}

// ---- roff ----

// Text for a roff text line: backslashes and option dashes escaped, UTF-8
// as named characters, the line guarded against reading as a request.
std::string Roff(const std::string& text) {
  std::string out = "\\&";
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char before = i == 0 ? ' ' : text[i - 1];
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-' &&
               (before == ' ' || before == '-' || before == '(' || before == '[' || before == '"')) {
      out += "\\-";  // an option's dash, not a hyphen
    } else if (c >= 0x80) {
      // One UTF-8 sequence as \[uXXXX]; a stray byte as the replacement character.
      uint32_t cp = 0xFFFD;
      size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
      if (len > 1 && i + len <= text.size()) {
        cp = c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += len - 1;
      }
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\[u%04X]", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Bold(const std::string& text) { return "\\fB" + Roff(text).substr(2) + "\\fR"; }
std::string Italic(const std::string& text) { return "\\fI" + Roff(text).substr(2) + "\\fR"; }

// How the option's value is shown: its choices in bold, else its placeholder.
std::string ValueText(const CLI::Option* opt) {
  std::vector<std::string> choices = Choices(opt);
  std::string out;
  if (!choices.empty()) {
    for (const std::string& c : choices) out += (out.empty() ? "" : "|") + Bold(c);
  } else {
    std::string name = opt->get_option_text();
    if (name.empty()) name = opt->get_type_name().substr(0, opt->get_type_name().find(':'));
    out = Italic(name.empty() ? "VALUE" : name);
  }
  if (opt->get_expected_max() > 1) out += " ...";
  return out;
}

// The paragraphs of a help text, one roff line per line of it.
void Paragraph(std::ostream& out, const std::string& text) {
  for (const std::string& line : Split(text, '\n'))
    out << (line.empty() ? std::string(".PP") : Roff(line)) << "\n";
}

int RunManCommands(const CLI::App& root) {
  std::ostringstream s;
  for (const CLI::App* c : VisibleCommands(root)) {
    const auto positionals = c->get_options([](const CLI::Option* o) { return o->get_positional(); });
    const auto options = c->get_options([c](const CLI::Option* o) {
      return o->nonpositional() && o != c->get_help_ptr() && o != c->get_help_all_ptr();
    });
    s << ".SS " << c->get_name() << "\n";
    Paragraph(s, c->get_description());
    // Usage: veltool NAME [OPTIONS] ARG [ARG...]
    s << ".PP\n\\fBveltool " << Roff(c->get_name()).substr(2) << "\\fR";
    if (!options.empty()) s << " [\\fIOPTIONS\\fR]";
    for (const CLI::Option* p : positionals) {
      std::string arg = Italic(p->get_name(true));
      if (p->get_expected_max() > 1) arg += "...";
      s << " " << (p->get_required() ? arg : "[" + arg + "]");
    }
    s << "\n";
    for (const CLI::Option* p : positionals)
      s << ".TP\n" << Italic(p->get_name(true)) << "\n" << Roff(p->get_description()) << "\n";
    for (const CLI::Option* o : options) {
      std::string tag;
      for (const std::string& n : OptionNames(o)) tag += (tag.empty() ? "" : ", ") + Bold(n);
      if (TakesValue(o)) tag += " " + ValueText(o);
      std::string text = o->get_description();
      const std::string def = o->get_default_str();
      if (!def.empty() && text.find("default") == std::string::npos) text += " (default: " + def + ")";
      s << ".TP\n" << tag << "\n" << Roff(text) << "\n";
    }
    // A subcommand repeats veltool's own footer unless it has one of its own.
    const std::string footer = c->get_footer();
    if (!footer.empty() && footer != root.get_footer()) {
      s << ".PP\n";
      Paragraph(s, footer);
    }
  }
  std::cout << s.str();
  return 0;
}

void Setup(CLI::App& app) {
  auto shell = std::make_shared<std::string>();
  CLI::App* completion = veltool::AddCommand(app, "completion", "the shell's completion script for veltool",
                                             [&app, shell] { return RunBash(app); });
  completion->add_option("SHELL", *shell, "the shell")->required()->check(CLI::IsMember({"bash"}));
  completion->group("");  // hidden: the package installs its output

  CLI::App* man = veltool::AddCommand(app, "man-commands", "the command list of veltool(1), in roff",
                                      [&app] { return RunManCommands(app); });
  man->group("");
}

}  // namespace

VELTOOL_COMMAND("completion", Setup);
