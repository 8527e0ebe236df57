// SPDX-License-Identifier: 0BSD
// The launcher's fatal messages and the one way each is shown.
#include "core/FatalErrors.h"

#include "core/FailureReport.h"
#include "core/OwnFile.h"
#include "core/PackageText.h"

const WideChar kPackageDamagedText[] =
    u"An error occurred while trying to read the setup package.  It has most "
    u"likely been damaged.  Please obtain a new copy from the vendor.";
const WideChar kPackageTruncatedText[] =
    u"The setup package has been truncated.  You most likely have an "
    u"incomplete download.  Try downloading it again.";
const WideChar kTempCopyFailedText[] =
    u"An error occurred while trying to create a temporary copy of the setup "
    u"package.  Please make sure that you have sufficient access rights to "
    u"this computer to install software and that the Windows TEMP folder can "
    u"be written to.  You can make this installer use a different folder for "
    u"its temporary files using the /temp command line parameter followed by "
    u"the path to a folder you can write to and run applications from.";
const WideChar kLaunchFailedText[] =
    u"The temporary copy of the setup package could not be executed.  Your "
    u"system may have a software restriction policy in place that blocks "
    u"executables in the temporary files folder.  You can make this installer "
    u"use a different folder for its temporary files using the /temp command "
    u"line parameter followed by the path to a folder you can write to and "
    u"run applications from.";

namespace {

// Codes that Intune, Configuration Manager, winget and Chocolatey read as
// success (0, 1641, 3010, 1707) or as "try again later" (1618).
bool LooksLikeSuccessOrRetry(uint32_t code) {
  return code == 0 || code == 1641 || code == 3010 || code == 1707 ||
         code == 1618;
}

[[noreturn]] void ReportAndExit(const FailureRecord& record) {
  WideText caption = ReadOwnPath();
  ReportFailure(record, caption.Data());
  PlatformExitProcess(record.exitCode);
}

[[noreturn]] void ReportAndExit(const WideChar* text, uint32_t exitCode,
                                uint16_t eventId) {
  ReportAndExit({text, exitCode, eventId, false, 0});
}

}  // namespace

uint32_t LaunchFailureExitCode(uint32_t lastError) {
  return LooksLikeSuccessOrRetry(lastError) ? kExitInstallFailure : lastError;
}

void FatalPackageDamaged() {
  ReportAndExit(kPackageDamagedText, kExitPackageInvalid, kEventPackageDamaged);
}
void FatalPackageTruncated() {
  ReportAndExit(kPackageTruncatedText, kExitPackageOpenFailed,
                kEventPackageTruncated);
}
void FatalTempCopyFailed() {
  ReportAndExit(kTempCopyFailedText, kExitTempUnwritable, kEventTempCopyFailed);
}
void FatalLaunchFailed(uint32_t lastError) {
  ReportAndExit({kLaunchFailedText, LaunchFailureExitCode(lastError),
                 kEventLaunchFailed, true, lastError});
}

void ExitCancelled() {
  PlatformCloseProgressWindow();
  PlatformExitProcess(kExitUserCancelled);
}

void ExitAlreadyRunning() { PlatformExitProcess(kExitAlreadyRunning); }

void FatalPackageText(PlatformHandle file, PackageTextRef textRef,
                      const WideText& releaseName) {
  WideText text;
  text.Resize(textRef.textLength);
  uint32_t byteCount = (uint32_t)textRef.textLength * sizeof(WideChar);
  if (!ReadAt(file, textRef.textOffset, text.MutableData(), byteCount))
    FatalPackageDamaged();
  ReplaceReleasePlaceholders(text, releaseName);
  ReportAndExit(text.Data(), kExitRejected, kEventReleaseRefused);
}
