// SPDX-License-Identifier: 0BSD
// The launcher's main sequence and the four checks of its package.
//
// This is the top of the launcher: it calls the package checks, the
// compatibility gate, extraction and the hand-off in one fixed order. Nothing
// below it includes this header.
#pragma once

#include "platform/Platform.h"

// The whole life of the launcher: returns only after the setup program was
// started (and, in attached mode, has ended and its copy was deleted), with
// the process's exit code (see LaunchSetup).
uint32_t RunLauncher();

// Steps of the package check, in the order RunLauncher calls them. Each one
// fills gPackageLocator or gPackageHeader, or ends the process through a
// fatal operation when its check fails.
void ReadPackageLocator(PlatformHandle file);
void CheckPackageSize(PlatformHandle file);
void VerifyPackageChecksum(PlatformHandle file);

// Bytes of the checksum region read at a time.
const int32_t kChecksumPieceSize = 1 << 20;
void ReadPackageHeader(PlatformHandle file);
