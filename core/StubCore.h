// The launcher's main sequence, its package checks and its fatal messages.
#pragma once

#include <stdint.h>

#include "core/StubTypes.h"
#include "core/WideText.h"
#include "platform/Platform.h"

// The whole life of the launcher: returns only after the setup program was
// started (and, in attached mode, has ended and its copy was deleted).
void RunLauncher();

// Steps of the package check, in the order RunLauncher calls them. Each one
// ends the process through a fatal operation when its check fails.
void ReadPackageLocator(PlatformHandle file);
void CheckPackageSize(PlatformHandle file);
void VerifyPackageChecksum(PlatformHandle file);
void ReadPackageHeader(PlatformHandle file);

// Reads `count` bytes at absolute `offset`. Offsets of 2^31 or more lie
// outside the format; they, and a move the system refuses, count as a short
// read so that nothing is read from a stale position. Returns true only when
// every byte arrived.
bool ReadAt(PlatformHandle file, uint32_t offset, void* buffer, uint32_t count);

// True when `count` bytes at `offset` lie inside the file. A region that does
// not could only be read short; asking first keeps a forged length from
// costing an allocation of its size.
bool RegionFitsInFile(PlatformHandle file, uint32_t offset, uint32_t count);

// The fatal operations: one modal error box captioned with the launcher's own
// path, then exit code 0. None returns.
[[noreturn]] void FatalPackageDamaged();
[[noreturn]] void FatalPackageTruncated();
[[noreturn]] void FatalTempCopyFailed();
[[noreturn]] void FatalLaunchFailed();
[[noreturn]] void FatalPackageText(PlatformHandle file, PackageTextRef textRef,
                                   const WideText& releaseName);

// The launcher's own module path, read afresh on each call.
WideText ReadOwnPath();

extern const WideChar kPackageDamagedText[];
extern const WideChar kPackageTruncatedText[];
extern const WideChar kTempCopyFailedText[];
extern const WideChar kLaunchFailedText[];
