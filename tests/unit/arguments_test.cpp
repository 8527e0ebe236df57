// SPDX-License-Identifier: 0BSD
// Splitting the launcher's command line, re-quoting for the setup program,
// and the path and switch helpers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handoff/Arguments.h"
#include "handoff/SetupCommandLine.h"
#include "tests/unit/FakePlatform.h"

namespace {

std::u16string Str(const WideText& text) {
  return std::u16string(text.Data(), text.Length());
}

std::vector<std::u16string> AllArguments() {
  std::vector<std::u16string> arguments;
  for (int32_t i = 1; i <= ArgumentCount(); ++i)
    arguments.push_back(Str(ArgumentAt(i)));
  return arguments;
}

class ArgumentFixture : public ::testing::Test {
 protected:
  void SetUp() override { ResetFake(); }
};

using Arguments = ArgumentFixture;
using ArgumentHelpers = ArgumentFixture;
using ArgumentString = ArgumentFixture;

struct SplitCase {
  std::u16string raw;  // what follows the program name
  std::vector<std::u16string> arguments;
  std::u16string passedOn;  // what follows the quoted launcher path
};

TEST_F(Arguments, SplitAndPassedOn) {
  const SplitCase cases[] = {
      {u"", {}, u""},
      {u"/s", {u"/s"}, u" /s"},
      {u"  a   b  ", {u"a", u"b"}, u" a b"},
      {u"a\"b c\"d", {u"ab cd"}, u" \"ab cd\""},
      {u"\"C:\\My Dir\\\"", {u"C:\\My Dir\\"}, u" \"C:\\My Dir\\\""},
      {u"\"C:\\My Dir\\\" x", {u"C:\\My Dir\\", u"x"},
       u" \"C:\\My Dir\\\" x"},
      {u"\"quoted\"", {u"quoted"}, u" quoted"},
      {u"\"a\tb\"", {u"a\tb"}, u" a\tb"},  // only a space leads to quoting
      {u"x \"\" y", {u"x", u"y"}, u" x y"},
      {u"\"\"x", {u"x"}, u" x"},
      {u"a\"\"b", {u"ab"}, u" ab"},
      {u"x \"", {u"x"}, u" x"},
      {u"x \"never closed", {u"x", u"never closed"},
       u" x \"never closed\""},
      {u"a\x01" u"b\x1F" u"c\r\nd\te", {u"a", u"b", u"c", u"d", u"e"},
       u" a b c d e"},
      {u"a\x7F" u"b \u00E9", {u"a\x7F" u"b", u"\u00E9"},
       u" a\x7F" u"b \u00E9"},
      {u"/temp \"D:\\My Temp\" /s", {u"/temp", u"D:\\My Temp", u"/s"},
       u" /temp \"D:\\My Temp\" /s"},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(Narrow(c.raw));
    ResetFake();
    Fake().SetArguments(c.raw);
    EXPECT_EQ(ArgumentCount(), (int32_t)c.arguments.size());
    EXPECT_EQ(AllArguments(), c.arguments);
    EXPECT_EQ(Str(BuildSetupArguments()),
              u"\"" + Fake().modulePath + u"\"" + c.passedOn);
  }
}

TEST_F(Arguments, ProgramNameIsSkippedHoweverItIsWritten) {
  const std::u16string lines[] = {
      u"\"C:\\Program Files\\setup.exe\" one two",
      u"setup.exe one two",
      u"  \"\"setup.exe\t one two",
  };
  for (const std::u16string& line : lines) {
    SCOPED_TRACE(Narrow(line));
    Fake().commandLine = line;
    EXPECT_EQ(AllArguments(), (std::vector<std::u16string>{u"one", u"two"}));
  }
}

TEST_F(Arguments, ArgumentAtEdges) {
  Fake().modulePath = u"C:\\Real\\pkg.exe";
  Fake().commandLine = u"invoked-as.exe first second";
  EXPECT_EQ(Str(ArgumentAt(0)), u"C:\\Real\\pkg.exe");
  EXPECT_EQ(Str(ArgumentAt(1)), u"first");
  EXPECT_EQ(Str(ArgumentAt(2)), u"second");
  EXPECT_EQ(Str(ArgumentAt(3)), u"");
  EXPECT_EQ(Str(ArgumentAt(100)), u"");

  // Nothing is cached: a changed command line is seen at once.
  Fake().commandLine = u"x third";
  EXPECT_EQ(ArgumentCount(), 1);
  EXPECT_EQ(Str(ArgumentAt(1)), u"third");
}

TEST_F(ArgumentHelpers, ExtractFolder) {
  const struct {
    std::u16string path;
    std::u16string folder;
  } cases[] = {
      {u"C:\\pkg.exe", u"C:\\"},
      {u"C:\\Downloads\\pkg.exe", u"C:\\Downloads\\"},
      {u"\\\\server\\share\\pkg.exe", u"\\\\server\\share\\"},
      {u"C:\\dir\\", u"C:\\dir\\"},
      {u"pkg.exe", u""},
      {u"C:/dir/pkg.exe", u""},  // a forward slash is no separator
      {u"", u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.path));
    WideText path(c.path.c_str());
    EXPECT_EQ(Str(ExtractFolder(path)), c.folder);
  }
}

TEST_F(ArgumentHelpers, EqualsIgnoreCaseFoldsAsciiLettersOnly) {
  const struct {
    std::u16string a;
    const char16_t* b;
    bool equal;
  } cases[] = {
      {u"/TEMP", u"/temp", true},
      {u"/Silent", u"/SILENT", true},
      {u"", u"", true},
      {u"/temp ", u"/temp", false},
      {u"/tem", u"/temp", false},
      {u"", u"/s", false},
      {u"\u00C9", u"\u00E9", false},  // no folding beyond a-z
      {u"[", u"{", false},            // differ only in bit 0x20, not letters
      {u"@", u"`", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.a) + " vs " + Narrow(c.b));
    WideText a(c.a.data(), (uint32_t)c.a.size());
    EXPECT_EQ(EqualsIgnoreCase(a, c.b), c.equal);
  }
}

TEST_F(ArgumentString, ToUniversalPathConvertsOnlyDriveLetterPaths) {
  const struct {
    std::u16string path;
    std::u16string expected;
    int calls;
  } cases[] = {
      {u"Z:\\Setup\\pkg.exe", u"\\\\server\\share\\Setup\\pkg.exe", 1},
      {u"C:\\Downloads\\pkg.exe", u"C:\\Downloads\\pkg.exe", 1},
      {u"\\\\server\\share\\pkg.exe", u"\\\\server\\share\\pkg.exe", 0},
      {u"Z", u"Z", 0},
      {u"", u"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.path));
    ResetFake();
    Fake().universalNames[u"Z:\\Setup\\pkg.exe"] =
        u"\\\\server\\share\\Setup\\pkg.exe";
    Fake().universalNames[u"\\\\server\\share\\pkg.exe"] = u"\\\\wrong";
    WideText path(c.path.c_str());
    EXPECT_EQ(Str(ToUniversalPath(path)), c.expected);
    EXPECT_EQ(Fake().universalNameCalls, c.calls);
  }
}

TEST_F(ArgumentString, MappedDriveExample) {
  Fake().modulePath = u"Z:\\Setup\\pkg.exe";
  Fake().universalNames[u"Z:\\Setup\\pkg.exe"] =
      u"\\\\server\\share\\Setup\\pkg.exe";
  Fake().universalNames[u"D:\\My Temp"] = u"\\\\wrong";  // arguments stay
  Fake().SetArguments(u"/temp \"D:\\My Temp\" /s");

  WideText arguments = BuildSetupArguments();
  EXPECT_EQ(Str(arguments),
            u"\"\\\\server\\share\\Setup\\pkg.exe\" /temp \"D:\\My Temp\" /s");
  WideText copy(u"D:\\My Temp\\pkg.exe");
  EXPECT_EQ(Str(BuildDirectCommandLine(copy, arguments)),
            u"\"D:\\My Temp\\pkg.exe\" \"\\\\server\\share\\Setup\\pkg.exe\" "
            u"/temp \"D:\\My Temp\" /s");
}

TEST_F(ArgumentString, DirectCommandLineWithoutArguments) {
  WideText arguments = BuildSetupArguments();
  EXPECT_EQ(Str(arguments), u"\"C:\\Downloads\\setup.exe\"");
  WideText copy(u"C:\\Temp\\setup.exe");
  EXPECT_EQ(Str(BuildDirectCommandLine(copy, arguments)),
            u"\"C:\\Temp\\setup.exe\" \"C:\\Downloads\\setup.exe\"");
}

}  // namespace
