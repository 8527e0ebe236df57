// SPDX-License-Identifier: 0BSD
// Command-line splitting and the helpers that read arguments.
#include "handoff/Arguments.h"

#include "core/OwnFile.h"
#include "platform/Platform.h"

namespace {

const WideChar kQuote = u'"';

bool IsSeparator(WideChar unit) { return unit >= 1 && unit <= 32; }

WideChar FoldAsciiLetter(WideChar unit) {
  return (unit >= 0x61 && unit <= 0x7A) ? (WideChar)(unit & ~0x20) : unit;
}

}  // namespace

const WideChar* NextToken(const WideChar* position, WideText* token) {
  *token = WideText();
  for (;;) {
    while (IsSeparator(*position)) ++position;
    if (position[0] == kQuote && position[1] == kQuote) {
      position += 2;
      continue;
    }
    break;
  }
  while (*position > 32) {
    if (*position != kQuote) {
      token->Append(*position++);
      continue;
    }
    const WideChar* start = ++position;
    while (*position != 0 && *position != kQuote) ++position;
    token->Append(start, (uint32_t)(position - start));
    if (*position == kQuote) ++position;
  }
  return position;
}

int32_t CountArguments(const WideChar* commandLine) {
  WideText token;
  const WideChar* position = NextToken(commandLine, &token);  // program name
  int32_t count = 0;
  for (;;) {
    position = NextToken(position, &token);
    if (token.IsEmpty()) return count;
    ++count;
  }
}

WideText ArgumentOf(const WideChar* commandLine, int32_t index) {
  WideText token;
  const WideChar* position = NextToken(commandLine, &token);  // program name
  for (int32_t i = 1; i <= index; ++i) {
    position = NextToken(position, &token);
    if (token.IsEmpty()) return token;
  }
  return index >= 1 ? token : WideText();
}

int32_t ArgumentCount() { return CountArguments(PlatformGetCommandLine()); }

WideText ArgumentAt(int32_t index) {
  if (index == 0) return ReadOwnPath();
  return ArgumentOf(PlatformGetCommandLine(), index);
}

WideText ExtractFolder(const WideText& path) {
  uint32_t end = path.Length();
  while (end > 0 && path.At(end - 1) != u'\\') --end;
  return path.Slice(0, end);
}

WideText ExtractName(const WideText& path) {
  const uint32_t start = ExtractFolder(path).Length();
  return path.Slice(start, path.Length() - start);
}

bool EqualsIgnoreCase(const WideText& a, const WideChar* b) {
  if (a.Length() != WideLength(b)) return false;
  for (uint32_t i = 0; i < a.Length(); ++i)
    if (FoldAsciiLetter(a.At(i)) != FoldAsciiLetter(b[i])) return false;
  return true;
}

bool HasSilentSwitch() {
  for (int32_t k = ArgumentCount(); k >= 1; --k) {
    WideText argument = ArgumentAt(k);
    if (EqualsIgnoreCase(argument, u"/silent") ||
        EqualsIgnoreCase(argument, u"/s"))
      return true;
  }
  return false;
}
