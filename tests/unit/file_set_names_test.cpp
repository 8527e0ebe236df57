// SPDX-License-Identifier: 0BSD
// The path rules of a file set and the table's order: each row a path the
// launcher must take or refuse, for the reason given.
#include <gtest/gtest.h>

#include <string>

#include "extract/FileSetNames.h"

namespace {

NameProblem Check(const std::u16string& path) {
  return CheckSetPath(path.data(), (uint32_t)path.size());
}

NameProblem Order(const std::u16string& a, const std::u16string& b) {
  return CheckSetPathOrder(a.data(), (uint32_t)a.size(), b.data(),
                           (uint32_t)b.size());
}

struct PathCase {
  std::u16string path;
  NameProblem problem;
};

TEST(FileSetNames, EachPathIsTakenOrRefusedForItsReason) {
  const std::u16string longComponent(256, u'a');
  std::u16string deep;
  for (int i = 0; i < 33; ++i) deep += u"d\\";
  deep += u"f";
  const PathCase cases[] = {
      {u"setup.exe", NameProblem::None},
      {u"data\\sub\\file.cab", NameProblem::None},
      {u" leading space.txt", NameProblem::None},
      {u"a~b.txt", NameProblem::None},
      {u"CONSOLE.txt", NameProblem::None},
      {u"COM10", NameProblem::None},
      {u"caf\u00e9\\\U0001F600.txt", NameProblem::None},
      {std::u16string(255, u'a'), NameProblem::None},
      {u"", NameProblem::Empty},
      {u"\\setup.exe", NameProblem::Absolute},
      {u"\\\\server\\share\\x", NameProblem::Absolute},
      {u"\\\\?\\C:\\x", NameProblem::Absolute},
      {u"a\\\\b", NameProblem::EmptyComponent},
      {u"a\\", NameProblem::EmptyComponent},
      {u".", NameProblem::DotComponent},
      {u"a\\..\\..\\b", NameProblem::DotComponent},
      {u"C:\\Windows\\x.dll", NameProblem::Colon},
      {u"C:x", NameProblem::Colon},
      {u"setup.exe:stream", NameProblem::Colon},
      {u"a\tb", NameProblem::ControlCharacter},
      {std::u16string(u"a\0b", 3), NameProblem::ControlCharacter},
      {u"a/b", NameProblem::ReservedCharacter},
      {u"what?.txt", NameProblem::ReservedCharacter},
      {u"a|b", NameProblem::ReservedCharacter},
      {u"a\xD800", NameProblem::UnpairedSurrogate},
      {u"\xDC00z", NameProblem::UnpairedSurrogate},
      {u"run.cmd.", NameProblem::TrailingDotOrSpace},
      {u"folder \\x", NameProblem::TrailingDotOrSpace},
      {u"CON", NameProblem::DeviceName},
      {u"sub\\nul.txt", NameProblem::DeviceName},
      {u"Aux.tar.gz", NameProblem::DeviceName},
      {u"NUL .log", NameProblem::DeviceName},
      {u"com7", NameProblem::DeviceName},
      {u"LPT\u00b9.txt", NameProblem::DeviceName},
      {u"conin$", NameProblem::DeviceName},
      {u"CONOUT$.x", NameProblem::DeviceName},
      {u"PROGRA~1", NameProblem::ShortNameAlias},
      {u"dir\\SETUP~12.EXE", NameProblem::ShortNameAlias},
      {std::u16string(260, u'a'), NameProblem::TooLong},
      {longComponent, NameProblem::ComponentTooLong},
      {deep, NameProblem::TooDeep},
  };
  for (const PathCase& c : cases)
    EXPECT_EQ(Check(c.path), c.problem)
        << std::string(c.path.begin(), c.path.end());
}

struct OrderCase {
  std::u16string previous;
  std::u16string next;
  NameProblem problem;
};

TEST(FileSetNames, NeighboursShowDuplicatesClashesAndSpellings) {
  const OrderCase cases[] = {
      {u"a", u"b", NameProblem::None},
      {u"a", u"a\\b", NameProblem::FileIsFolder},
      {u"bin", u"BIN\\app.dll", NameProblem::FileIsFolder},
      {u"a\\b", u"a\\b\\c", NameProblem::FileIsFolder},
      {u"a\\z", u"a b", NameProblem::None},  // the backslash sorts first
      {u"a b", u"a\\z", NameProblem::OutOfOrder},
      {u"Setup.exe", u"setup.EXE", NameProblem::Duplicate},
      {u"\u00e9t\u00e9", u"\u00c9T\u00c9", NameProblem::Duplicate},
      {u"\u0434\u0430", u"\u0414\u0410", NameProblem::Duplicate},
      {u"b", u"a", NameProblem::OutOfOrder},
      {u"Data\\a", u"data\\b", NameProblem::FolderSpelling},
      {u"x\\Data\\a", u"x\\DATA\\b\\c", NameProblem::FolderSpelling},
      {u"Data\\a", u"Data\\B", NameProblem::None},
      {u"Data\\a", u"Database", NameProblem::None},
  };
  for (const OrderCase& c : cases)
    EXPECT_EQ(Order(c.previous, c.next), c.problem)
        << std::string(c.previous.begin(), c.previous.end()) << " then "
        << std::string(c.next.begin(), c.next.end());
}

TEST(FileSetNames, FoldingIsItsOwnUpperCase) {
  // Folding twice changes nothing, and only letters move.
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    const WideChar once = FoldNameUnit((WideChar)unit);
    EXPECT_EQ(FoldNameUnit(once), once) << unit;
  }
  EXPECT_EQ(FoldNameUnit(u'\\'), u'\\');
  EXPECT_EQ(FoldNameUnit(0xF7), 0xF7);    // the division sign
  EXPECT_EQ(FoldNameUnit(0x131), 0x131);  // dotless i has no pair here
  EXPECT_EQ(FoldNameUnit(0x17E), 0x17D);
  EXPECT_EQ(FoldNameUnit(0xFF), 0x178);
}

TEST(FileSetNames, EntriesAreProgramsAndInstallerPackages) {
  struct {
    std::u16string path;
    EntryKind kind;
  } cases[] = {
      {u"setup.exe", EntryKind::Program},
      {u"bin\\Setup.EXE", EntryKind::Program},
      {u"product.Msi", EntryKind::InstallerPackage},
      {u"run.cmd", EntryKind::None},
      {u"setup.exe.txt", EntryKind::None},
      {u"exe", EntryKind::None},
      {u"a.msix", EntryKind::None},
  };
  for (const auto& c : cases)
    EXPECT_EQ(EntryKindOf(c.path.data(), (uint32_t)c.path.size()), c.kind);
}

}  // namespace
