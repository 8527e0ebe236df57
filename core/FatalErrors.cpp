// SPDX-License-Identifier: 0BSD
// The launcher's fatal messages and the one way each is shown.
#include "core/FatalErrors.h"

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

const uint32_t kIconError = 0x10;  // MB_ICONERROR, single OK button

[[noreturn]] void ShowAndExit(const WideChar* text) {
  WideText caption = ReadOwnPath();
  PlatformShowMessage(text, caption.Data(), kIconError);
  PlatformExitProcess(0);
}

}  // namespace

void FatalPackageDamaged() { ShowAndExit(kPackageDamagedText); }
void FatalPackageTruncated() { ShowAndExit(kPackageTruncatedText); }
void FatalTempCopyFailed() { ShowAndExit(kTempCopyFailedText); }
void FatalLaunchFailed() { ShowAndExit(kLaunchFailedText); }

void FatalPackageText(PlatformHandle file, PackageTextRef textRef,
                      const WideText& releaseName) {
  WideText text;
  text.Resize(textRef.textLength);
  uint32_t byteCount = (uint32_t)textRef.textLength * sizeof(WideChar);
  if (!ReadAt(file, textRef.textOffset, text.MutableData(), byteCount))
    FatalPackageDamaged();
  ReplaceReleasePlaceholders(text, releaseName);
  ShowAndExit(text.Data());
}
