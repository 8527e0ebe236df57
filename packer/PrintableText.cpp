// SPDX-License-Identifier: 0BSD
// Text from launcher files made safe for JSON and for a terminal.
#include "packer/PrintableText.h"

#include <cstdio>

namespace packer {

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04X", c);
          out += buffer;
        } else {
          out += (char)c;
        }
    }
  }
  return out + "\"";
}

std::string TerminalText(const std::string& utf8) {
  std::string out;
  char buffer[16];
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = (unsigned char)utf8[i];
    const unsigned char next = i + 1 < utf8.size() ? (unsigned char)utf8[i + 1] : 0;
    const unsigned char last = i + 2 < utf8.size() ? (unsigned char)utf8[i + 2] : 0;
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080-U+009F
      std::snprintf(buffer, sizeof buffer, "\\u%04X", next);
      ++i;
    } else if (c == 0xE2 && ((next == 0x80 && last >= 0xAA && last <= 0xAE) ||
                             (next == 0x81 && last >= 0xA6 && last <= 0xA9))) {
      std::snprintf(buffer, sizeof buffer, "\\u%04X", 0x2000 | (next & 0x3F) << 6 | (last & 0x3F));
      i += 2;
    } else {
      out += (char)c;
      continue;
    }
    out += buffer;
  }
  return out;
}

}  // namespace packer
