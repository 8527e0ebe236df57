// SPDX-License-Identifier: 0BSD
// Naming the running Windows release and refusing those the package does not
// support.
#pragma once

#include "core/StubTypes.h"
#include "core/WideText.h"
#include "platform/Platform.h"

// What the version query gave; the launch step reads it again.
struct WindowsVersionRecord {
  bool known;  // false when GetVersionExW failed
  OsVersion version;
};

struct ReleaseVerdict {
  bool supported;
  WideText releaseName;  // set when refused; never empty then
};

// The decision itself, reading the registry through the platform layer.
// Opens and closes the CurrentVersion key as needed.
ReleaseVerdict JudgeWindowsRelease(const OsVersion& version,
                                   const PackageHeader& header);

// Queries the version, judges it, and on refusal shows the package's own
// message (through FatalPackageText) and ends the process.
WindowsVersionRecord CheckWindowsCompatibility(PlatformHandle ownFile,
                                               const PackageHeader& header);
