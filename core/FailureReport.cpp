// SPDX-License-Identifier: 0BSD
// Error boxes where someone can see them, Application-log events elsewhere.
#include "core/FailureReport.h"

#include "core/Decimal.h"

namespace {

const uint32_t kIconError = 0x10;  // MB_ICONERROR, single OK button

bool CanShowErrorBox() {
  bool visible = true;
  if (!PlatformQueryWindowStationVisible(&visible)) return true;
  return visible;
}

// The part of `path` after its last backslash.
const WideChar* FileNameOf(const WideChar* path) {
  const WideChar* name = path;
  for (const WideChar* at = path; *at; ++at)
    if (*at == u'\\') name = at + 1;
  return name;
}

}  // namespace

void ReportFailure(const FailureRecord& record, const WideChar* caption) {
  // The box must never sit behind the progress window.
  PlatformCloseProgressWindow();
  if (CanShowErrorBox()) {
    PlatformShowMessage(record.text, caption, kIconError);
    return;
  }
  WriteFailureEvent(record);
}

void WriteFailureEvent(const FailureRecord& record) {
  WideChar ownPath[kModulePathCapacity];
  uint32_t length = PlatformGetModuleFileName(ownPath, kModulePathCapacity);
  if (length > kModulePathCapacity - 1) length = kModulePathCapacity - 1;
  ownPath[length] = 0;
  WideChar exitCode[kDecimalCapacity];
  WideChar windowsError[kDecimalCapacity];
  FormatDecimal(record.exitCode, exitCode);
  FormatDecimal(record.windowsError, windowsError);
  const WideChar* strings[] = {record.text, ownPath, exitCode, windowsError};
  const uint16_t count = record.hasWindowsError ? 4 : 3;

  PlatformHandle source = PlatformRegisterEventSource(FileNameOf(ownPath));
  if (!source) return;
  PlatformReportErrorEvent(source, record.eventId, strings, count);
  PlatformDeregisterEventSource(source);
}
