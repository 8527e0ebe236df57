// SPDX-License-Identifier: 0BSD
// The launcher's fatal messages: one modal error box captioned with the
// launcher's own path, then exit code 0. None of these returns.
//
// Failures never travel back up the call chain; the step that finds one ends
// the process here, and the system reclaims handles and memory.
#pragma once

#include "core/StubTypes.h"
#include "core/WideText.h"
#include "platform/Platform.h"

[[noreturn]] void FatalPackageDamaged();
[[noreturn]] void FatalPackageTruncated();
[[noreturn]] void FatalTempCopyFailed();
[[noreturn]] void FatalLaunchFailed();
// The package's own text at `textRef`, with the release name filled in. A
// text that cannot be read gives the damaged-package message instead.
[[noreturn]] void FatalPackageText(PlatformHandle file, PackageTextRef textRef,
                                   const WideText& releaseName);

extern const WideChar kPackageDamagedText[];
extern const WideChar kPackageTruncatedText[];
extern const WideChar kTempCopyFailedText[];
extern const WideChar kLaunchFailedText[];
