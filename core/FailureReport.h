// SPDX-License-Identifier: 0BSD
// The one way the launcher reports a failure: an error box where someone can
// see it, otherwise one error event in the Windows Application log.
//
// Deployment tools run installers as SYSTEM in session 0, whose window
// station is not visible. A modal box there can never be dismissed: the
// launcher would hang until the tool gives up. So there it shows none and
// ends with its exit code, and the event keeps what the code alone cannot
// say (which release was refused, what the package's own message was) for
// the administrator: every management tool collects the Application log.
#pragma once

#include <stdint.h>

#include "platform/Platform.h"

// Event IDs, one per kind of message; the exit code travels in the strings,
// since a failed start's code can be any Windows error.
enum : uint16_t {
  kEventPackageDamaged = 1,
  kEventPackageTruncated = 2,
  kEventTempCopyFailed = 3,
  kEventReleaseRefused = 4,
  kEventLaunchFailed = 5,
  kEventOutOfMemory = 6,
};

// What one failure tells.
struct FailureRecord {
  const WideChar* text;  // as the box shows it
  uint32_t exitCode;
  uint16_t eventId;
  bool hasWindowsError;  // a failed start: the error of the call
  uint32_t windowsError;
};

// An MB_ICONERROR box with no owner, captioned `caption`; it blocks until
// dismissed. Where the process's window station is known to be invisible,
// the event instead (a question that cannot be answered shows the box, as a
// user may be there). Nothing is written where a box is shown.
void ReportFailure(const FailureRecord& record, const WideChar* caption);

// One error event, source the launcher's file name, with the strings: the
// text, the launcher's own path, the exit code and, for a failed start, the
// Windows error, both in decimal. It allocates nothing, so the out-of-memory
// stop can write it too. A log that cannot be written changes nothing: no
// retry, no wait.
void WriteFailureEvent(const FailureRecord& record);
