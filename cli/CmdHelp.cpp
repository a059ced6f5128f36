// brel-cli help: the general help, each command's help, the man page made from the same texts,
// and the version line.
#include <algorithm>
#include <iostream>
#include <sstream>

#include "cli/CliCommon.h"

#ifndef BREL_FILE_VERSION
#define BREL_FILE_VERSION "unknown"
#endif

namespace {

const char* const kWhat = "the archive components of brel from a shell";
const TOption kCommon[] = {{"-q", "", "print errors only (no summary, no progress line)"},
                           {"--help", "", "show the command's help"}};
const char* const kFooter[] = {
    "Exit status: 0 success, 1 when an error was reported (printed as",
    "\"brel-cli: CODE TEXT: NAME\"), 2 for a usage error. Ctrl+C cancels and leaves an",
    "old archive as it was.",
};

// The commands in help order.
std::vector<std::pair<std::string, const TCommand*>> Ordered() {
  std::vector<std::pair<std::string, const TCommand*>> out;
  for (const auto& [name, cmd] : Commands()) out.emplace_back(name, &cmd);
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.second->Rank < b.second->Rank; });
  return out;
}

std::string Synopsis(const std::string& Name, const TCommand& C) {
  return Name + (C.Options.empty() ? "" : " [OPTIONS]") + (C.Args.empty() ? "" : " " + C.Args);
}

std::string OptionTerm(const TOption& O) { return O.Value.empty() ? O.Name : O.Name + ' ' + O.Value; }

// "  TERM   TEXT" lines with the texts in one column, wrapped at word ends to fit 80 columns.
std::string Columns(const std::vector<std::pair<std::string, std::string>>& Rows) {
  constexpr size_t kLine = 79;
  size_t width = 0;
  for (const auto& r : Rows) width = std::max(width, r.first.size());
  const size_t indent = width + 4, room = kLine > indent + 30 ? kLine - indent : 30;
  std::string out;
  for (const auto& [term, text] : Rows) {
    out += "  " + term + std::string(width - term.size() + 2, ' ');
    std::istringstream words(text);
    std::string word;
    size_t used = 0;
    while (words >> word) {
      if (used > 0 && used + 1 + word.size() > room) {
        out += '\n' + std::string(indent, ' ');
        used = 0;
      } else if (used > 0) {
        out += ' ';
        ++used;
      }
      out += word;
      used += word.size();
    }
    out += '\n';
  }
  return out;
}

// Roff text: backslashes and hyphens escaped, a leading control character neutralised.
std::string Roff(const std::string& Text) {
  std::string out;
  for (char c : Text) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

// Every option of a command, its own and the common ones.
std::vector<TOption> AllOptions(const TCommand& C) {
  std::vector<TOption> out = C.Options;
  out.insert(out.end(), std::begin(kCommon), std::end(kCommon));
  return out;
}

// Words for a shell: the names of the options, a choice list.
std::string Words(const std::vector<std::string>& Items) {
  std::string out;
  for (const std::string& i : Items) out += (out.empty() ? "" : " ") + i;
  return out;
}

// What follows an option that takes a value: its choices, folders for a DIR, else files.
std::string BashValues(const TOption& O) {
  if (!O.Choices.empty()) return "COMPREPLY=($(compgen -W \"" + Words(O.Choices) + "\" -- \"$cur\"))";
  return O.Value == "DIR" ? "COMPREPLY=($(compgen -d -- \"$cur\"))" : "COMPREPLY=()";
}

std::string ZshQuoted(const std::string& Text) {
  std::string out;
  for (char c : Text) {
    if (c == '\'')
      out += "'\\''";
    else if (c == '[' || c == ']' || c == ':')
      out += std::string("\\") + c;
    else
      out += c;
  }
  return out;
}

std::string ZshArgument(const TOption& O) {
  if (O.Name == kDigitOption) return "";
  std::string zsh = "'" + O.Name + "[" + ZshQuoted(O.Help) + "]";
  if (!O.Value.empty())
    zsh += ":" + O.Value + ":" +
           (!O.Choices.empty() ? "(" + Words(O.Choices) + ")"
            : O.Value == "DIR" ? "_files -/"
                               : "");
  return zsh + "'";
}

int RunHelp(TCli&, const TParsedArgs& Args) {
  if (Args.Has("--man")) {
    std::cout << ManPage();
    return exOk;
  }
  if (Args.Has("--completion")) {
    const std::string shell = Args.Value("--completion");
    if (shell != "bash" && shell != "zsh") throw TUsageError("--completion takes bash or zsh");
    std::cout << (shell == "bash" ? BashCompletion() : ZshCompletion());
    return exOk;
  }
  if (Args.Positional.empty()) {
    std::cout << GeneralHelp();
    return exOk;
  }
  if (Args.Positional.size() > 1) throw TUsageError("one COMMAND at most");
  const auto it = Commands().find(Args.Positional[0]);
  if (it == Commands().end()) throw TUsageError("unknown command " + Args.Positional[0]);
  std::cout << CommandHelp(it->first, it->second);
  return exOk;
}

const TRegisterCommand kRegister(
    "help", {"[COMMAND]",
             "show this help, or a command's options",
             {{"--man", "", "print the manual page (roff) made from these texts"},
              {"--completion", "SHELL", "print the completion script of bash or zsh", false, {"bash", "zsh"}}},
             RunHelp,
             90});

}  // namespace

std::string VersionText() { return std::string("brel-cli ") + BREL_FILE_VERSION; }

std::string GeneralHelp() {
  std::string out = std::string("brel-cli: ") + kWhat + "\n\nusage: brel-cli COMMAND [OPTIONS] ARGS...\n\n";
  std::vector<std::pair<std::string, std::string>> rows;
  for (const auto& [name, cmd] : Ordered())
    rows.emplace_back(name + (cmd->Args.empty() ? "" : " " + cmd->Args), cmd->Summary);
  out += Columns(rows);
  out +=
      "\nEvery command takes -q (print errors only) and --help. 'brel-cli help COMMAND'\n"
      "lists a command's options; 'brel-cli --version' prints the version.\n";
  for (const char* line : kFooter) out += std::string(line) + '\n';
  return out;
}

std::string CommandHelp(const std::string& Name, const TCommand& Command) {
  std::string out = "usage: brel-cli " + Synopsis(Name, Command) + '\n' + Command.Summary + "\n\noptions:\n";
  std::vector<std::pair<std::string, std::string>> rows;
  for (const TOption& o : Command.Options) rows.emplace_back(OptionTerm(o), o.Help);
  for (const TOption& o : kCommon) rows.emplace_back(OptionTerm(o), o.Help);
  return out + Columns(rows);
}

std::string ManPage() {
  std::ostringstream out;
  out << ".TH BREL\\-CLI 1 \"\" \"" << Roff(VersionText()) << "\" \"User Commands\"\n"
      << ".SH NAME\nbrel\\-cli \\- " << Roff(kWhat) << "\n"
      << ".SH SYNOPSIS\n.B brel\\-cli\n.I COMMAND\n[\\fIOPTIONS\\fR] \\fIARGS\\fR...\n"
      << ".br\n.B brel\\-cli \\-\\-version\n"
      << ".SH COMMANDS\n";
  for (const auto& [name, cmd] : Ordered()) {
    out << ".TP\n.B " << Roff(Synopsis(name, *cmd)) << '\n' << Roff(cmd->Summary) << '\n';
    if (cmd->Options.empty()) continue;
    out << ".RS\n";
    for (const TOption& o : cmd->Options) out << ".TP\n.B " << Roff(OptionTerm(o)) << '\n' << Roff(o.Help) << '\n';
    out << ".RE\n";
  }
  out << ".SH OPTIONS OF EVERY COMMAND\n";
  for (const TOption& o : kCommon) out << ".TP\n.B " << Roff(OptionTerm(o)) << '\n' << Roff(o.Help) << '\n';
  out << ".SH EXIT STATUS\n";
  for (const char* line : kFooter) out << Roff(line) << '\n';
  return out.str();
}

std::string BashCompletion() {
  std::ostringstream out;
  std::vector<std::string> names;
  for (const auto& [name, cmd] : Ordered()) names.push_back(name);
  out << "# bash completion for brel-cli (made by \"brel-cli help --completion bash\")\n"
      << "_brel_cli() {\n"
      << "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
      << "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
      << "    COMPREPLY=($(compgen -W \"" << Words(names) << " --help --version\" -- \"$cur\"))\n"
      << "    return\n  fi\n"
      << "  local opts=\n"
      << "  case \"${COMP_WORDS[1]}\" in\n";
  for (const auto& [name, cmd] : Ordered()) {
    std::vector<std::string> opts;
    out << "    " << name << ")\n      case \"$prev\" in\n";
    for (const TOption& o : AllOptions(*cmd)) {
      if (o.Name == kDigitOption) continue;
      opts.push_back(o.Name);
      if (!o.Value.empty() && !o.ValueOptional) out << "        " << o.Name << ") " << BashValues(o) << "; return ;;\n";
    }
    out << "      esac\n      opts=\"" << Words(opts) << "\" ;;\n";
  }
  out << "  esac\n"
      << "  if [[ $cur == -* ]]; then\n"
      << "    COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
      << "  else\n"
      << "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      << "  fi\n"
      << "}\n"
      << "complete -o filenames -F _brel_cli brel-cli\n";
  return out.str();
}

std::string ZshCompletion() {
  std::ostringstream out;
  out << "#compdef brel-cli\n# zsh completion for brel-cli (made by \"brel-cli help --completion zsh\")\n"
      << "_brel_cli() {\n  local -a commands\n  commands=(\n";
  for (const auto& [name, cmd] : Ordered()) out << "    '" << name << ":" << ZshQuoted(cmd->Summary) << "'\n";
  out << "  )\n"
      << "  if (( CURRENT == 2 )); then\n    _describe command commands\n    return\n  fi\n"
      << "  local cmd=$words[2]\n  shift words\n  (( CURRENT-- ))\n"
      << "  case $cmd in\n";
  for (const auto& [name, cmd] : Ordered()) {
    out << "    " << name << ")\n      _arguments -s";
    for (const TOption& o : AllOptions(*cmd)) {
      const std::string line = ZshArgument(o);
      if (!line.empty()) out << " \\\n        " << line;
    }
    out << " \\\n        '*:file:_files' ;;\n";
  }
  out << "  esac\n}\n_brel_cli \"$@\"\n";
  return out.str();
}
