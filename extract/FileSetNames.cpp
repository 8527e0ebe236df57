// SPDX-License-Identifier: 0BSD
// The path rules of a file set and the table's order.
#include "extract/FileSetNames.h"

namespace {

const WideChar kSeparator = u'\\';

WideChar AsciiUpper(WideChar unit) {
  return unit >= u'a' && unit <= u'z' ? (WideChar)(unit - 0x20) : unit;
}

bool IsReservedCharacter(WideChar unit) {
  switch (unit) {
    case u'<': case u'>': case u'"': case u'/': case u'|': case u'?':
    case u'*':
      return true;
    default:
      return false;
  }
}

bool IsHighSurrogate(WideChar unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(WideChar unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// `name` (not terminated) equals the ASCII word `word`, any ASCII case.
bool EqualsAsciiWord(const WideChar* name, uint32_t length, const char* word) {
  uint32_t i = 0;
  for (; i < length; ++i)
    if (word[i] == 0 || AsciiUpper(name[i]) != (WideChar)word[i]) return false;
  return word[i] == 0;
}

// COM and LPT take a digit 1-9, or a superscript one, two or three, which
// Windows counts as digits there.
bool IsDeviceDigit(WideChar unit) {
  return (unit >= u'1' && unit <= u'9') || unit == 0xB9 || unit == 0xB2 ||
         unit == 0xB3;
}

// Windows opens the device whatever extension follows, and ignores spaces
// before it: "con.txt" and "NUL .log" are devices.
bool IsDeviceName(const WideChar* component, uint32_t length) {
  uint32_t base = 0;
  while (base < length && component[base] != u'.') ++base;
  while (base > 0 && component[base - 1] == u' ') --base;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$",
                                         "CONOUT$"};
  for (const char* device : kDevices)
    if (EqualsAsciiWord(component, base, device)) return true;
  return base == 4 && IsDeviceDigit(component[3]) &&
         (EqualsAsciiWord(component, 3, "COM") ||
          EqualsAsciiWord(component, 3, "LPT"));
}

// "~" and digits, then the end or a dot: the shape of a short name, which
// may name another file of the folder than its letters say.
bool HasShortNameAlias(const WideChar* component, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    if (component[i] != u'~') continue;
    uint32_t end = i + 1;
    while (end < length && component[end] >= u'0' && component[end] <= u'9')
      ++end;
    if (end > i + 1 && (end == length || component[end] == u'.')) return true;
  }
  return false;
}

NameProblem CheckComponent(const WideChar* component, uint32_t length) {
  if (length == 0) return NameProblem::EmptyComponent;
  if ((length == 1 && component[0] == u'.') ||
      (length == 2 && component[0] == u'.' && component[1] == u'.'))
    return NameProblem::DotComponent;
  if (length > kMaxSetComponentUnits) return NameProblem::ComponentTooLong;
  const WideChar last = component[length - 1];
  if (last == u'.' || last == u' ') return NameProblem::TrailingDotOrSpace;
  if (IsDeviceName(component, length)) return NameProblem::DeviceName;
  if (HasShortNameAlias(component, length)) return NameProblem::ShortNameAlias;
  return NameProblem::None;
}

// The unit's place in the table's order.
uint32_t SortKey(WideChar unit) {
  return unit == kSeparator ? 0 : FoldNameUnit(unit);
}

}  // namespace

WideChar FoldNameUnit(WideChar unit) {
  if (unit < 0x80) return AsciiUpper(unit);
  if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7) return unit - 0x20;
  if (unit == 0xFF) return 0x178;
  // Latin Extended-A pairs its letters: upper case on even units up to
  // U+0137 and from U+014A to U+0177, on odd units between.
  if (unit >= 0x100 && unit <= 0x137 && unit != 0x131)
    return unit & ~(WideChar)1;
  if ((unit >= 0x139 && unit <= 0x148) || (unit >= 0x179 && unit <= 0x17E))
    return (unit & 1) ? unit : (WideChar)(unit - 1);
  if (unit >= 0x14A && unit <= 0x177) return unit & ~(WideChar)1;
  if ((unit >= 0x3B1 && unit <= 0x3C1) || (unit >= 0x3C3 && unit <= 0x3CB))
    return unit - 0x20;
  if (unit >= 0x430 && unit <= 0x44F) return unit - 0x20;
  if (unit >= 0x450 && unit <= 0x45F) return unit - 0x50;
  if (unit >= 0xFF41 && unit <= 0xFF5A) return unit - 0x20;
  return unit;
}

NameProblem CheckSetPath(const WideChar* path, uint32_t length) {
  if (length == 0) return NameProblem::Empty;
  if (path[0] == kSeparator) return NameProblem::Absolute;
  if (length > kMaxSetPathUnits) return NameProblem::TooLong;
  for (uint32_t i = 0; i < length; ++i) {
    const WideChar unit = path[i];
    if (unit < 0x20) return NameProblem::ControlCharacter;
    if (unit == u':') return NameProblem::Colon;
    if (IsReservedCharacter(unit)) return NameProblem::ReservedCharacter;
    if (IsHighSurrogate(unit)) {
      if (i + 1 == length || !IsLowSurrogate(path[i + 1]))
        return NameProblem::UnpairedSurrogate;
      ++i;
    } else if (IsLowSurrogate(unit)) {
      return NameProblem::UnpairedSurrogate;
    }
  }
  uint32_t depth = 0;
  for (uint32_t start = 0; start <= length;) {
    uint32_t end = start;
    while (end < length && path[end] != kSeparator) ++end;
    if (++depth > kMaxSetDepth) return NameProblem::TooDeep;
    const NameProblem problem = CheckComponent(path + start, end - start);
    if (problem != NameProblem::None) return problem;
    start = end + 1;
  }
  return NameProblem::None;
}

int CompareSetPaths(const WideChar* a, uint32_t aLength, const WideChar* b,
                    uint32_t bLength) {
  const uint32_t common = aLength < bLength ? aLength : bLength;
  for (uint32_t i = 0; i < common; ++i) {
    const uint32_t x = SortKey(a[i]);
    const uint32_t y = SortKey(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (aLength == bLength) return 0;
  return aLength < bLength ? -1 : 1;
}

NameProblem CheckSetPathOrder(const WideChar* previous, uint32_t previousLength,
                              const WideChar* next, uint32_t nextLength) {
  const int order = CompareSetPaths(previous, previousLength, next, nextLength);
  if (order == 0) return NameProblem::Duplicate;
  if (order > 0) return NameProblem::OutOfOrder;
  // `previous` sorts first, so it cannot be longer where the two agree.
  uint32_t same = 0;
  while (same < previousLength &&
         SortKey(previous[same]) == SortKey(next[same]))
    ++same;
  if (same == previousLength && next[same] == kSeparator)
    return NameProblem::FileIsFolder;
  // The folders both paths pass through must be spelt alike; the
  // backslash folds only to itself, so both have it at the same place.
  uint32_t shared = same;
  while (shared > 0 && previous[shared - 1] != kSeparator) --shared;
  for (uint32_t i = 0; i < shared; ++i)
    if (previous[i] != next[i]) return NameProblem::FolderSpelling;
  return NameProblem::None;
}

EntryKind EntryKindOf(const WideChar* path, uint32_t length) {
  if (length < 4 || path[length - 4] != u'.') return EntryKind::None;
  if (EqualsAsciiWord(path + length - 3, 3, "EXE")) return EntryKind::Program;
  if (EqualsAsciiWord(path + length - 3, 3, "MSI"))
    return EntryKind::InstallerPackage;
  return EntryKind::None;
}
