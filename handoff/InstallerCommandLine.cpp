// SPDX-License-Identifier: 0BSD
// msiexec's command line for an installer package.
#include "handoff/InstallerCommandLine.h"

#include "handoff/Arguments.h"
#include "handoff/SetupCommandLine.h"

namespace {

const uint32_t kSystemFolderCapacity = 261;

// Where NAME ends in NAME=value: the first "=", with a name before it that
// holds no space; 0 when the argument is no assignment.
uint32_t AssignmentAt(const WideText& argument) {
  for (uint32_t i = 0; i < argument.Length(); ++i) {
    if (argument.At(i) == u' ') return 0;
    if (argument.At(i) == u'=') return i;
  }
  return 0;
}

}  // namespace

void AppendInstallerArgument(WideText& line, const WideText& argument) {
  const uint32_t equals = AssignmentAt(argument);
  if (equals == 0 || !argument.Contains(u' ')) {
    AppendQuotedArgument(line, argument);
    return;
  }
  line.Append(u' ');
  line.Append(argument.Data(), equals + 1);
  line.Append(u'"');
  line.Append(argument.Data() + equals + 1, argument.Length() - equals - 1);
  line.Append(u'"');
}

WideText BuildInstallerArguments(const WideText& package) {
  WideText line(u"/i \"");
  line.Append(package);
  line.Append(u"\" LAUNCHERPATH=\"");
  line.Append(ToUniversalPath(ArgumentAt(0)));
  line.Append(u'"');
  const int32_t count = ArgumentCount();
  bool quiet = false;
  for (int32_t i = 1; i <= count; ++i) {
    const WideText argument = ArgumentAt(i);
    if (EqualsIgnoreCase(argument, u"/temp")) {
      ++i;  // and the folder after it
      continue;
    }
    if (EqualsIgnoreCase(argument, u"/noadmin")) continue;
    if (EqualsIgnoreCase(argument, u"/s") ||
        EqualsIgnoreCase(argument, u"/silent")) {
      if (!quiet) line.Append(u" /qn");
      quiet = true;
      continue;
    }
    AppendInstallerArgument(line, argument);
  }
  return line;
}

WideText InstallerProgramPath() {
  WideChar folder[kSystemFolderCapacity];
  const uint32_t length = PlatformGetSystemFolder(folder, kSystemFolderCapacity);
  if (length == 0) return WideText();
  WideText path(folder, length);
  if (path.Last() != u'\\') path.Append(u'\\');
  path.Append(u"msiexec.exe");
  return path;
}
