// SPDX-License-Identifier: 0BSD
// The launcher's fatal messages: one modal error box captioned with the
// launcher's own path, then an exit code of the message's own. None of these
// returns.
//
// Failures never travel back up the call chain; the step that finds one ends
// the process here, and the system reclaims handles and memory.
//
// The exit codes are the Windows installer errors that deployment tools
// (Intune, Configuration Manager, winget, Chocolatey) already know, so an
// unattended install that fails is never reported as a success. Where nobody
// can see a box, none is shown and the process ends at once with the code.
#pragma once

#include "core/StubTypes.h"
#include "core/WideText.h"
#include "platform/Platform.h"

enum : uint32_t {
  kExitUserCancelled = 1602,      // ERROR_INSTALL_USEREXIT
  kExitInstallFailure = 1603,     // ERROR_INSTALL_FAILURE
  kExitAlreadyRunning = 1618,     // ERROR_INSTALL_ALREADY_RUNNING
  kExitPackageOpenFailed = 1619,  // ERROR_INSTALL_PACKAGE_OPEN_FAILED
  kExitPackageInvalid = 1620,     // ERROR_INSTALL_PACKAGE_INVALID
  kExitTempUnwritable = 1632,     // ERROR_INSTALL_TEMP_UNWRITABLE
  kExitRejected = 1654,           // ERROR_INSTALL_REJECTED
};

// The exit code for a start that failed with `lastError`: that error itself,
// unless deployment tools would take it for success or retry (or there is
// none); then ERROR_INSTALL_FAILURE.
uint32_t LaunchFailureExitCode(uint32_t lastError);

[[noreturn]] void FatalPackageDamaged();
[[noreturn]] void FatalPackageTruncated();
[[noreturn]] void FatalTempCopyFailed();
// `lastError` is what the failed start left (GetLastError).
[[noreturn]] void FatalLaunchFailed(uint32_t lastError);
// The package's own text at `textRef`, with the release name filled in. A
// text that cannot be read gives the damaged-package message instead.
[[noreturn]] void FatalPackageText(PlatformHandle file, PackageTextRef textRef,
                                   const WideText& releaseName);

// The user cancelled: no box and no event, since the user knows; the
// caller has removed what the launcher made.
[[noreturn]] void ExitCancelled();
// Another start of this package unpacks and has shown its window for this
// one: nothing to say.
[[noreturn]] void ExitAlreadyRunning();

extern const WideChar kPackageDamagedText[];
extern const WideChar kPackageTruncatedText[];
extern const WideChar kTempCopyFailedText[];
extern const WideChar kLaunchFailedText[];
