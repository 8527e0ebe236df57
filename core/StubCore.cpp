// SPDX-License-Identifier: 0BSD
// The main sequence: package checks, gate, extraction and hand-off, in one
// order.
#include "core/StubCore.h"

#include "core/CRC32.h"
#include "core/FatalErrors.h"
#include "core/Memory.h"
#include "core/OwnFile.h"
#include "extract/Decompress.h"
#include "extract/NoRTLStream.h"
#include "extract/TemporaryCopy.h"
#include "gate/WindowsCompatibility.h"
#include "handoff/Launch.h"
#include "handoff/SetupCommandLine.h"

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
