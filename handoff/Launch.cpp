// SPDX-License-Identifier: 0BSD
// The hand-off: direct start or shell start, the elevation rule, the wait.
#include "handoff/Launch.h"

#include "core/FatalErrors.h"
#include "core/Feedback.h"
#include "core/StubTypes.h"
#include "handoff/Administrator.h"
#include "handoff/Arguments.h"
#include "handoff/InstallerCommandLine.h"
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

PlatformHandle StartDirectly(const WideText& program,
                             const WideText& arguments) {
  WideText commandLine = BuildDirectCommandLine(program, arguments);
  WideText currentDirectory = ExtractFolder(ArgumentAt(0));
  PlatformHandle process = nullptr;
  if (!PlatformCreateProcess(commandLine.MutableData(), currentDirectory.Data(),
                             &process))
    FatalLaunchFailed(PlatformLastError());
  return process;
}

// msiexec would refuse " /noadmin" (1639): only a program gets it.
PlatformHandle StartThroughShell(const WideText& program,
                                 const WideText& arguments,
                                 bool mayAppendNoAdmin) {
  ShellStartChoice choice =
      ChooseShellStart(HasSilentSwitch(), gPackageHeader.adminMode);
  WideText parameters = arguments;
  if (choice.appendNoAdmin && mayAppendNoAdmin) parameters.Append(u" /noadmin");
  PlatformHandle process = nullptr;
  if (!PlatformShellExecute(choice.verb, program.Data(), parameters.Data(),
                            &process))
    FatalLaunchFailed(PlatformLastError());
  return process;
}

// The extracted program itself, or msiexec for an installer package.
WideText ProgramToStart(const ExtractedSetup& setup) {
  if (setup.kind != EntryKind::InstallerPackage) return setup.path;
  WideText msiexec = InstallerProgramPath();
  if (msiexec.IsEmpty()) FatalLaunchFailed(PlatformLastError());
  return msiexec;
}

}  // namespace

ShellStartChoice ChooseShellStart(bool silentSwitchGiven, uint8_t adminMode) {
  if (!silentSwitchGiven || adminMode == 2) return {u"open", true};
  if (adminMode == 1) return {u"runas", false};
  return {u"open", false};
}

WideText BuildArgumentsFor(const ExtractedSetup& setup) {
  return setup.kind == EntryKind::InstallerPackage
             ? BuildInstallerArguments(setup.path)
             : BuildSetupArguments();
}

uint32_t LaunchSetup(const ExtractedSetup& setup, const WideText& arguments,
                     const WindowsVersionRecord& version) {
  const WideText program = ProgramToStart(setup);
  PlatformHandle process =
      !NeedsAdministratorTest(version) || IsUserAdministrator()
          ? StartDirectly(program, arguments)
          : StartThroughShell(program, arguments,
                              setup.kind == EntryKind::Program);
  EndFeedback(process);
  if (!IsAttachedMode()) {
    setup.release(setup.owner);
    return 0;
  }
  // The setup program's own exit code goes on, so a deployment tool judges
  // the install itself. A code that cannot be read must not look like
  // success.
  PlatformWaitForProcess(process);
  uint32_t exitCode = 0;
  if (!PlatformGetExitCode(process, &exitCode)) exitCode = kExitInstallFailure;
  PlatformCloseHandle(process);
  setup.remove(setup.owner);
  return exitCode;
}
