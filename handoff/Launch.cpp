// SPDX-License-Identifier: 0BSD
// The hand-off: direct start or shell start, the elevation rule, the wait.
#include "handoff/Launch.h"

#include "core/FatalErrors.h"
#include "core/StubTypes.h"
#include "handoff/Administrator.h"
#include "handoff/Arguments.h"
#include "handoff/SetupCommandLine.h"
#include "platform/Platform.h"

namespace {

// Releases before Vista have no elevation to ask for. When the version is
// unknown the launcher behaves as on Vista and later: the administrator test
// then decides, which starts the copy directly wherever that can work.
bool NeedsAdministratorTest(const WindowsVersionRecord& version) {
  return !version.known || version.version.majorVersion >= 6;
}

bool IsAttachedMode() { return gPackageLocator.detachedFileSize == 0; }

PlatformHandle StartDirectly(const WideText& temporaryCopy,
                             const WideText& arguments) {
  WideText commandLine = BuildDirectCommandLine(temporaryCopy, arguments);
  WideText currentDirectory = ExtractFolder(ArgumentAt(0));
  PlatformHandle process = nullptr;
  if (!PlatformCreateProcess(commandLine.MutableData(), currentDirectory.Data(),
                             &process))
    FatalLaunchFailed(PlatformLastError());
  return process;
}

PlatformHandle StartThroughShell(const WideText& temporaryCopy,
                                 const WideText& arguments) {
  ShellStartChoice choice =
      ChooseShellStart(HasSilentSwitch(), gPackageHeader.adminMode);
  WideText parameters = arguments;
  if (choice.appendNoAdmin) parameters.Append(u" /noadmin");
  PlatformHandle process = nullptr;
  if (!PlatformShellExecute(choice.verb, temporaryCopy.Data(),
                            parameters.Data(), &process))
    FatalLaunchFailed(PlatformLastError());
  return process;
}

}  // namespace

ShellStartChoice ChooseShellStart(bool silentSwitchGiven, uint8_t adminMode) {
  if (!silentSwitchGiven || adminMode == 2) return {u"open", true};
  if (adminMode == 1) return {u"runas", false};
  return {u"open", false};
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

uint32_t LaunchSetup(const WrittenCopy& copy, const WideText& arguments,
                     const WindowsVersionRecord& version) {
  const WideText& path = copy.location.file;
  PlatformHandle process =
      !NeedsAdministratorTest(version) || IsUserAdministrator()
          ? StartDirectly(path, arguments)
          : StartThroughShell(path, arguments);
  if (!IsAttachedMode()) {
    PlatformCloseHandle(copy.lock);
    return 0;
  }
  // The setup program's own exit code goes on, so a deployment tool judges
  // the install itself. A code that cannot be read must not look like
  // success.
  PlatformWaitForProcess(process);
  uint32_t exitCode = 0;
  if (!PlatformGetExitCode(process, &exitCode)) exitCode = kExitInstallFailure;
  PlatformCloseHandle(process);
  RemoveWrittenCopy(copy);
  return exitCode;
}
