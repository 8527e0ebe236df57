// The main sequence: package checks, extraction and hand-off, in one order.
#include "core/StubCore.h"

#include "core/CRC32.h"
#include "core/Memory.h"
#include "core/PackageText.h"
#include "extract/Decompress.h"
#include "extract/NoRTLStream.h"
#include "extract/TemporaryCopy.h"
#include "gate/WindowsCompatibility.h"
#include "handoff/Launch.h"
#include "handoff/SetupCommandLine.h"

PackageLocator gPackageLocator;
PackageHeader gPackageHeader;

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
const int32_t kOffsetLimit = 0x7FFFFFFF;

[[noreturn]] void ShowAndExit(const WideChar* text) {
  WideText caption = ReadOwnPath();
  PlatformShowMessage(text, caption.Data(), kIconError);
  PlatformExitProcess(0);
}

}  // namespace

WideText ReadOwnPath() {
  WideChar buffer[kModulePathCapacity];
  uint32_t length = PlatformGetModuleFileName(buffer, kModulePathCapacity);
  if (length > kModulePathCapacity - 1) length = kModulePathCapacity - 1;
  return WideText(buffer, length);
}

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

bool ReadAt(PlatformHandle file, uint32_t offset, void* buffer,
            uint32_t count) {
  if (offset > (uint32_t)kOffsetLimit) return false;
  if (!PlatformSeek(file, (int32_t)offset)) return false;
  return PlatformRead(file, buffer, count) == count;
}

bool RegionFitsInFile(PlatformHandle file, uint32_t offset, uint32_t count) {
  return (uint64_t)offset + count <= PlatformGetFileSize(file);
}

void ReadPackageLocator(PlatformHandle file) {
  if (!ReadAt(file, kPackageLocatorOffset, &gPackageLocator,
              sizeof(gPackageLocator)))
    FatalPackageDamaged();
  if (gPackageLocator.packageOffset == 0) FatalPackageDamaged();
}

void CheckPackageSize(PlatformHandle file) {
  uint64_t size = PlatformGetFileSize(file);
  if (gPackageLocator.detachedFileSize != 0) {
    if ((uint32_t)size < gPackageLocator.detachedFileSize)
      FatalPackageTruncated();
    return;
  }
  if ((int64_t)size < gPackageLocator.expectedFileSize)
    FatalPackageTruncated();
}

void VerifyPackageChecksum(PlatformHandle file) {
  // The region length is a signed 32-bit count; a "negative" one can never be
  // read in full, so it is damage, not a reason to allocate gigabytes.
  int32_t length = (int32_t)gPackageLocator.crcLength;
  if (length < 0) FatalPackageDamaged();
  if (!RegionFitsInFile(file, gPackageLocator.packageOffset, (uint32_t)length))
    FatalPackageDamaged();
  uint8_t* buffer = (uint8_t*)AllocateOrDie((size_t)length);
  if (!ReadAt(file, gPackageLocator.packageOffset, buffer, (uint32_t)length))
    FatalPackageDamaged();
  if (ComputeCrc32(buffer, length) != gPackageLocator.crcValue)
    FatalPackageDamaged();
  Release(buffer);
}

void ReadPackageHeader(PlatformHandle file) {
  if (!ReadAt(file, gPackageLocator.packageOffset, &gPackageHeader,
              sizeof(gPackageHeader)))
    FatalPackageDamaged();
}

void RunLauncher() {
  WideText ownPath = ReadOwnPath();
  PlatformHandle ownFile = PlatformOpenForReading(ownPath.Data());
  if (ownFile == PLATFORM_INVALID_HANDLE) FatalPackageDamaged();

  ReadPackageLocator(ownFile);
  CheckPackageSize(ownFile);
  VerifyPackageChecksum(ownFile);
  ReadPackageHeader(ownFile);

  WindowsVersionRecord version = CheckWindowsCompatibility(ownFile,
                                                           gPackageHeader);

  PayloadStreams streams = DecompressPayload(ownFile, gPackageHeader);
  WideText temporaryCopy = WriteTemporaryCopy(streams.output, streams.input,
                                              gPackageHeader.payloadSize);
  PlatformCloseHandle(ownFile);

  WideText arguments = BuildSetupArguments();
  LaunchSetup(temporaryCopy, arguments, version);
}
