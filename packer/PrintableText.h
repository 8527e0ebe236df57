// SPDX-License-Identifier: 0BSD
// Text read from a launcher file (paths, version strings, refusal texts)
// made safe to print: as a JSON string, and for a terminal, where no file
// may move the cursor, forge a line or turn text around.
#pragma once

#include <string>

namespace packer {

std::string JsonString(const std::string& utf8);

// Text from a file, made safe to print on a terminal: C0 and C1 controls,
// DEL and the bidirectional controls (U+202A-U+202E, U+2066-U+2069) become
// \xNN or \uNNNN, so that no file can move the cursor, clear the screen,
// forge a line or turn text around.
std::string TerminalText(const std::string& utf8);

}  // namespace packer
