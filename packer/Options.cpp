// SPDX-License-Identifier: 0BSD
// Command-line words and their package values.
#include "packer/Options.h"

#include <cctype>

#include "core/StubTypes.h"
#include "packer/PackageWriter.h"

namespace packer {
namespace {

struct ReleaseName {
  const char* name;
  uint64_t bit;
};

const ReleaseName kReleases[] = {
    {"xp", kSupportsWindowsXp},        {"vista", kSupportsWindowsVista},
    {"7", kSupportsWindows7},          {"8", kSupportsWindows8},
    {"8.1", kSupportsWindows81},       {"10", kSupportsWindows10},
    {"11", kSupportsWindows11},        {"unknown", kSupportsUnknownVersions},
};

std::string Lower(std::string text) {
  for (char& c : text) c = (char)std::tolower((unsigned char)c);
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool ParseReleases(const std::string& text, uint64_t* flags,
                   std::string* error) {
  *flags = 0;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    std::string item = Lower(Trim(text.substr(
        start, comma == std::string::npos ? std::string::npos : comma - start)));
    bool found = false;
    for (const ReleaseName& release : kReleases) {
      if (item == release.name) {
        *flags |= release.bit;
        found = true;
      }
    }
    if (!found) {
      *error = item.empty()
                   ? "empty release name in \"" + text + "\""
                   : "unknown release \"" + item +
                         "\" (known: xp, vista, 7, 8, 8.1, 10, 11, unknown)";
      return false;
    }
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

std::vector<std::string> ReleaseNames(uint64_t flags) {
  std::vector<std::string> names;
  for (const ReleaseName& release : kReleases)
    if (flags & release.bit) names.push_back(release.name);
  return names;
}

uint64_t UnnamedSupportBits(uint64_t flags) {
  for (const ReleaseName& release : kReleases) flags &= ~release.bit;
  return flags;
}

bool ParseCodeRange(const std::string& text, uint16_t* min, uint16_t* max,
                    std::string* error) {
  size_t dash = text.find('-');
  std::string low = dash == std::string::npos ? "" : text.substr(0, dash);
  std::string high = dash == std::string::npos ? "" : text.substr(dash + 1);
  if (!AllDigits(low) || !AllDigits(high) || low.size() > 5 ||
      high.size() > 5) {
    *error = "version code range \"" + text +
             "\" is not of the form MIN-MAX (for example 1507-9999)";
    return false;
  }
  unsigned long lowValue = std::stoul(low), highValue = std::stoul(high);
  if (lowValue > 0xFFFF || highValue > 0xFFFF) {
    *error = "version code range \"" + text + "\": codes go up to 65535";
    return false;
  }
  if (lowValue > highValue) {
    *error = "version code range \"" + text +
             "\" is empty: its minimum exceeds its maximum";
    return false;
  }
  *min = (uint16_t)lowValue;
  *max = (uint16_t)highValue;
  return true;
}

bool ParseAdminMode(const std::string& text, uint8_t* mode,
                    std::string* error) {
  const std::string word = Lower(text);
  if (word == "runas") *mode = 1;
  else if (word == "noadmin") *mode = 2;
  else if (word == "none") *mode = 0;
  else {
    *error = "unknown admin mode \"" + text +
             "\" (known: runas, noadmin, none)";
    return false;
  }
  return true;
}

std::string AdminModeName(uint8_t mode) {
  if (mode == 1) return "runas";
  if (mode == 2) return "noadmin";
  if (mode == 0) return "none";
  return "none (" + std::to_string(mode) + ")";
}

bool ParseNumber(const std::string& text, int64_t min, int64_t max,
                 int64_t* value, std::string* error) {
  std::string digits = text;
  bool negative = !digits.empty() && digits[0] == '-';
  if (negative) digits.erase(0, 1);
  // 19 digits still fit an int64_t; more are out of any range used here.
  if (!AllDigits(digits) || digits.size() > 18) {
    *error = "\"" + text + "\" is not a whole number in " +
             std::to_string(min) + "-" + std::to_string(max);
    return false;
  }
  int64_t number = std::stoll(digits);
  if (negative) number = -number;
  if (number < min || number > max) {
    *error = text + " is out of range (" + std::to_string(min) + "-" +
             std::to_string(max) + ")";
    return false;
  }
  *value = number;
  return true;
}

bool ParseByteSize(const std::string& text, uint32_t* bytes,
                   std::string* error) {
  std::string digits = text;
  uint64_t unit = 1;
  std::string lowered = Lower(text);
  for (const char* suffix : {"kib", "k", "mib", "m", "gib", "g"}) {
    std::string s = suffix;
    if (lowered.size() > s.size() &&
        lowered.compare(lowered.size() - s.size(), s.size(), s) == 0) {
      unit = s[0] == 'k' ? 1024 : s[0] == 'm' ? 1024 * 1024 : 1024 * 1024 * 1024;
      digits = text.substr(0, text.size() - s.size());
      break;
    }
  }
  if (!AllDigits(digits) || digits.size() > 10) {
    *error = "size \"" + text + "\" is not a number with an optional K, M or G "
             "suffix";
    return false;
  }
  uint64_t value = std::stoull(digits) * unit;
  if (value > 0xFFFFFFFFull) {
    *error = "size \"" + text + "\" is 4 GiB or more";
    return false;
  }
  *bytes = (uint32_t)value;
  return true;
}

bool DecodeTextFile(const std::vector<uint8_t>& bytes, std::u16string* text,
                    std::string* error) {
  std::string utf8(bytes.begin(), bytes.end());
  if (utf8.compare(0, 3, "\xEF\xBB\xBF") == 0) utf8.erase(0, 3);
  if (!utf8.empty() && utf8.back() == '\n') utf8.pop_back();
  if (!utf8.empty() && utf8.back() == '\r') utf8.pop_back();
  if (Utf8ToUtf16(utf8, text)) return true;
  *error = "is not valid UTF-8";
  return false;
}

bool CheckRefusalText(const std::u16string& text, std::string* error) {
  const size_t nul = text.find(u'\0');
  if (text.empty())
    *error = "the unsupported-release text is empty (leave the option out instead)";
  else if (nul != std::u16string::npos)
    *error = "the unsupported-release text holds a NUL character after " + std::to_string(nul) +
             " UTF-16 units; the launcher would show only what stands before it";
  else if (text.size() > 0xFFFF)
    *error = "the unsupported-release text is " + std::to_string(text.size()) +
             " UTF-16 units long; at most 65535 fit";
  else
    return true;
  return false;
}

bool ParseHexBytes(const std::string& text, size_t count,
                   std::vector<uint8_t>* bytes, std::string* error) {
  bytes->clear();
  bool ok = text.size() == 2 * count;
  for (size_t i = 0; ok && i < count; ++i) {
    unsigned value = 0;
    for (size_t k = 0; k < 2; ++k) {
      char c = (char)std::tolower((unsigned char)text[2 * i + k]);
      if (c >= '0' && c <= '9') value = value * 16 + (unsigned)(c - '0');
      else if (c >= 'a' && c <= 'f') value = value * 16 + (unsigned)(c - 'a' + 10);
      else ok = false;
    }
    bytes->push_back((uint8_t)value);
  }
  if (!ok) {
    *error = "\"" + text + "\" is not " + std::to_string(count) +
             " bytes in hex (" + std::to_string(2 * count) + " digits)";
    bytes->clear();
  }
  return ok;
}

}  // namespace packer
