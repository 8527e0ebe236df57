// SPDX-License-Identifier: 0BSD
// The main sequence: package checks, gate, extraction and hand-off, in one
// order.
#include "core/StubCore.h"

#include "core/CRC32.h"
#include "core/FatalErrors.h"
#include "core/Feedback.h"
#include "core/Memory.h"
#include "core/OwnFile.h"
#include "extract/FileSetCopy.h"
#include "extract/TemporaryCopy.h"
#include "gate/WindowsCompatibility.h"
#include "handoff/Launch.h"

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
  const uint32_t offset = gPackageLocator.packageOffset;
  if (!RegionFitsInFile(file, offset, (uint32_t)length)) FatalPackageDamaged();
  // Read in pieces: the region holds the whole compressed setup program.
  const uint32_t pieceSize =
      length < kChecksumPieceSize ? (uint32_t)length : kChecksumPieceSize;
  uint8_t* buffer = (uint8_t*)AllocateOrDie(pieceSize);
  uint32_t crc = 0;
  uint32_t next = UINT32_MAX;
  for (uint32_t done = 0; done < (uint32_t)length;) {
    uint32_t count = (uint32_t)length - done;
    if (count > pieceSize) count = pieceSize;
    if (!ReadPiece(file, offset, done, buffer, count, &next))
      FatalPackageDamaged();
    crc = UpdateCrc32(crc, buffer, count);
    done += count;
    if (!FeedbackProgress(count)) ExitCancelled();  // nothing made yet
  }
  if (crc != gPackageLocator.crcValue) FatalPackageDamaged();
  Release(buffer);
}

void ReadPackageHeader(PlatformHandle file) {
  if (!ReadAt(file, gPackageLocator.packageOffset, &gPackageHeader,
              sizeof(gPackageHeader)))
    FatalPackageDamaged();
}

uint32_t RunLauncher() {
  WideText ownPath = ReadOwnPath();
  PlatformHandle ownFile = PlatformOpenForReading(ownPath.Data());
  if (ownFile == PLATFORM_INVALID_HANDLE) FatalPackageDamaged();

  ReadPackageLocator(ownFile);
  CheckPackageSize(ownFile);
  BeginFeedback(ownFile);
  VerifyPackageChecksum(ownFile);
  ReadPackageHeader(ownFile);

  WindowsVersionRecord version = CheckWindowsCompatibility(ownFile,
                                                           gPackageHeader);

  const ExtractedSetup setup =
      gPackageHeader.packageForm == kFileSetForm
          ? WriteFileSet(ownFile, gPackageHeader)
          : AsExtracted(WriteTemporaryCopy(ownFile, gPackageHeader));
  PlatformCloseHandle(ownFile);

  WideText arguments = BuildArgumentsFor(setup);
  return LaunchSetup(setup, arguments, version);
}
