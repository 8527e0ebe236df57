// SPDX-License-Identifier: 0BSD
// A strict JSON syntax check for the fuzz targets: inspect's --json output
// must be something a script can read, whatever file it came from.
#pragma once

#include <cctype>
#include <cstring>
#include <string>

// A strict JSON syntax check: enough to know a script could read it.
class JsonChecker {
 public:
  explicit JsonChecker(const std::string& text) : s_(text) {}
  bool Document() {
    Space();
    if (!Value()) return false;
    Space();
    return at_ == s_.size();
  }

 private:
  void Space() {
    while (at_ < s_.size() && std::strchr(" \t\r\n", s_[at_])) ++at_;
  }
  bool Eat(char c) {
    Space();
    if (at_ < s_.size() && s_[at_] == c) return ++at_, true;
    return false;
  }
  bool Word(const char* word) {
    size_t n = std::strlen(word);
    if (s_.compare(at_, n, word) != 0) return false;
    at_ += n;
    return true;
  }
  bool String() {
    if (!Eat('"')) return false;
    while (at_ < s_.size()) {
      unsigned char c = (unsigned char)s_[at_++];
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (at_ >= s_.size()) return false;
        char e = s_[at_++];
        if (e == 'u') {
          for (int i = 0; i < 4; ++i)
            if (at_ >= s_.size() || !std::isxdigit((unsigned char)s_[at_++])) return false;
        } else if (!std::strchr("\"\\/bfnrt", e)) {
          return false;
        }
      }
    }
    return false;
  }
  bool Number() {
    size_t start = at_;
    if (at_ < s_.size() && s_[at_] == '-') ++at_;
    while (at_ < s_.size() && std::strchr("0123456789.eE+-", s_[at_])) ++at_;
    return at_ > start && std::isdigit((unsigned char)s_[at_ - 1]);
  }
  bool Value() {
    Space();
    if (at_ >= s_.size() || ++depth_ > 64) return false;
    bool ok;
    char c = s_[at_];
    if (c == '{') {
      ++at_;
      ok = Eat('}');
      if (!ok) {
        do {
          ok = String() && Eat(':') && Value();
        } while (ok && Eat(','));
        ok = ok && Eat('}');
      }
    } else if (c == '[') {
      ++at_;
      ok = Eat(']');
      if (!ok) {
        do {
          ok = Value();
        } while (ok && Eat(','));
        ok = ok && Eat(']');
      }
    } else if (c == '"') {
      ok = String();
    } else {
      ok = Word("true") || Word("false") || Word("null") || Number();
    }
    --depth_;
    return ok;
  }

  const std::string& s_;
  size_t at_ = 0;
  int depth_ = 0;
};
