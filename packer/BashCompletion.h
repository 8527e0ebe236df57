// SPDX-License-Identifier: 0BSD
// The bash completion script for stubpack, written from the same command and
// option tables as --help and the man page, so the three cannot drift apart.
#pragma once

#include <string>
#include <vector>

namespace packer {

struct CompletionOption {
  std::string name;   // "--setup"
  std::string value;  // its value's name in --help ("FILE", "0-9"); "" for a switch
};

struct CompletionCommand {
  std::string name;
  std::vector<CompletionOption> options;
  bool takesFile;  // a FILE argument besides the options
};

// A script for /usr/share/bash-completion/completions/stubpack. How an
// option's value completes follows from the value's name: FILE... and
// FILE.ico complete file names, DIR folder names, N-M a number in that
// range, and the fixed words of --releases and --admin-mode come from the
// parsers' own tables.
std::string BashCompletionScript(const std::vector<CompletionCommand>& commands);

}  // namespace packer
