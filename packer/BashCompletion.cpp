// SPDX-License-Identifier: 0BSD
// The bash completion script, from the command and option tables.
#include "packer/BashCompletion.h"

#include <cstdlib>

#include "packer/Options.h"

namespace packer {
namespace {

std::string Join(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) out += (out.empty() ? "" : " ") + word;
  return out;
}

bool IsDigits(const std::string& text) {
  if (text.empty() || text.size() > 3) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// "0-9" -> "0 1 2 ... 9"; "" for anything else.
std::string NumberRange(const std::string& value) {
  size_t dash = value.find('-');
  if (dash == std::string::npos || !IsDigits(value.substr(0, dash)) ||
      !IsDigits(value.substr(dash + 1)))
    return "";
  std::vector<std::string> numbers;
  for (int n = std::atoi(value.c_str()); n <= std::atoi(value.c_str() + dash + 1); ++n)
    numbers.push_back(std::to_string(n));
  return Join(numbers);
}

// The case arm that completes OPTION's value, "" where nothing can be offered
// beyond what the user types.
std::string ValueArm(const CompletionOption& option) {
  const std::string words = "COMPREPLY=($(compgen -W '";
  if (option.name == "--releases")
    // A comma-separated list: complete the item after the last comma.
    return "local prefix=; [[ $cur == *,* ]] && prefix=${cur%,*},\n"
           "                    COMPREPLY=($(compgen -P \"$prefix\" -W '" +
           Join(ReleaseNames(~0ull)) +
           "' -- \"${cur##*,}\"))\n"
           "                    compopt -o nospace";
  if (option.name == "--admin-mode")
    return words + AdminModeName(1) + " " + AdminModeName(2) + " " + AdminModeName(0) +
           "' -- \"$cur\"))";
  if (option.value == "DIR") return "_filedir -d";
  if (option.value.compare(0, 4, "FILE") == 0) {
    size_t dot = option.value.find('.');
    return dot == std::string::npos ? "_filedir" : "_filedir " + option.value.substr(dot + 1);
  }
  std::string range = NumberRange(option.value);
  if (!range.empty()) return words + range + "' -- \"$cur\"))";
  return "";
}

}  // namespace

std::string BashCompletionScript(const std::vector<CompletionCommand>& commands) {
  std::vector<std::string> names;
  for (const CompletionCommand& command : commands) names.push_back(command.name);
  std::string out =
      "# bash completion for stubpack                            -*- shell-script -*-\n"
      "# Written by \"stubpack --bash-completion\" from its option tables.\n"
      "\n"
      "_stubpack()\n"
      "{\n"
      "    local cur prev words cword split\n"
      "    _init_completion -s || return\n"
      "\n"
      "    if ((cword == 1)); then\n"
      "        COMPREPLY=($(compgen -W '" + Join(names) +
      " --help --version --bash-completion' -- \"$cur\"))\n"
      "        return\n"
      "    fi\n"
      "\n"
      "    local options takes_file=\n"
      "    case ${words[1]} in\n";
  for (const CompletionCommand& command : commands) {
    std::vector<std::string> optionNames;
    out += "        " + command.name + ")\n            case $prev in\n";
    // Options that take a value: their value, or nothing to offer.
    for (const CompletionOption& option : command.options) {
      optionNames.push_back(option.name);
      if (option.value.empty()) continue;
      std::string arm = ValueArm(option);
      out += "                " + option.name + ")\n" +
             (arm.empty() ? "" : "                    " + arm + "\n") +
             "                    return ;;\n";
    }
    optionNames.push_back("--help");
    out += "            esac\n            options='" + Join(optionNames) + "'\n";
    if (command.takesFile) out += "            takes_file=1\n";
    out += "            ;;\n";
  }
  out +=
      "        *)\n"
      "            return ;;\n"
      "    esac\n"
      "    $split && return\n"
      "\n"
      "    if [[ $cur == -* || ! $takes_file ]]; then\n"
      "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
      "    else\n"
      "        _filedir\n"
      "    fi\n"
      "} &&\n"
      "    complete -F _stubpack stubpack\n";
  return out;
}

}  // namespace packer
