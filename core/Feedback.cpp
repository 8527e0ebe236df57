// SPDX-License-Identifier: 0BSD
// The progress window's decisions, its bar, Cancel, and the arrangement
// with other starts of the same package.
#include "core/Feedback.h"

#include "core/Decimal.h"
#include "core/FatalErrors.h"
#include "core/OwnFile.h"
#include "core/StubTypes.h"
#include "core/VersionStrings.h"
#include "handoff/Arguments.h"

namespace {

// The window's words, all in one place.
const WideChar kPreparing[] = u"Preparing ";
const WideChar kEllipsis[] = u"\u2026";
const WideChar kCancel[] = u"Cancel";

const uint32_t kResourceVersion = 16;  // RT_VERSION
const uint32_t kVersionResourceId = 1;
// Events are looked at no more often than this while decoding.
const uint64_t kEventPollMs = 50;
const uint32_t kThreadWaitMs = 100;

struct FeedbackState {
  uint64_t start;
  uint64_t lastPoll;
  uint64_t total;
  uint64_t done;
  uint32_t position;  // of the bar, in ten-thousandths; it never goes back
  bool silent;
  bool forbidden;
  bool never;  // the window will not open in this run
  bool open;
  bool asked;  // another start wants the window now
  bool cancelled;
  PlatformHandle request;  // another start signals it
  PlatformHandle answer;   // signalled once the window shows for it
};

FeedbackState gFeedback;

// Asked once, when a window is due: it loads user32.
bool StationVisible() {
  bool visible = true;
  if (!PlatformQueryWindowStationVisible(&visible)) return true;
  return visible;
}

void AppendNumber(WideText& text, uint32_t number) {
  WideChar digits[kDecimalCapacity];
  text.Append(u'-');
  text.Append(digits, FormatDecimal(number, digits));
}

// "Local\SetupLauncher" and the package's CRC-32 and size, then the file's
// identity on its volume: this launcher file however it is named or
// reached, never another product, never a copy that runs on its own, and
// never another user's session.
WideText EventName(const FileIdentity& file, const WideChar* suffix) {
  WideText name(u"Local\\SetupLauncher");
  const uint64_t size = gPackageLocator.detachedFileSize
                            ? gPackageLocator.detachedFileSize
                            : (uint64_t)gPackageLocator.expectedFileSize;
  AppendNumber(name, gPackageLocator.crcValue);
  AppendNumber(name, (uint32_t)(size >> 32));
  AppendNumber(name, (uint32_t)size);
  AppendNumber(name, file.volumeSerial);
  AppendNumber(name, file.indexHigh);
  AppendNumber(name, file.indexLow);
  name.Append(suffix);
  return name;
}

void LeaveOtherStarts() {
  if (gFeedback.request) PlatformCloseHandle(gFeedback.request);
  if (gFeedback.answer) PlatformCloseHandle(gFeedback.answer);
  gFeedback.request = nullptr;
  gFeedback.answer = nullptr;
}

// The first start of a package answers the others; a later one asks the
// first to show its window and ends when it has. A start that is not
// answered (the first cannot show a window, or has just finished) goes on
// by itself and answers later starts in turn.
void JoinOtherStarts(PlatformHandle file) {
  FileIdentity identity;
  if (!PlatformGetFileIdentity(file, &identity)) return;
  bool existed = false;
  bool unused = false;
  gFeedback.request = PlatformCreateSessionEvent(
      EventName(identity, u"-show").Data(), &existed);
  gFeedback.answer = PlatformCreateSessionEvent(
      EventName(identity, u"-shown").Data(), &unused);
  if (!gFeedback.request || !gFeedback.answer) {
    LeaveOtherStarts();
    return;
  }
  if (!existed) return;
  if (!StationVisible()) {  // unattended: no part in it
    LeaveOtherStarts();
    return;
  }
  PlatformAllowAnyForeground();
  PlatformSignalEvent(gFeedback.request);
  if (PlatformWaitForAnyOrInput(&gFeedback.answer, 1, kAnotherStartAnswerMs) == 0)
    ExitAlreadyRunning();
}

// The product's name, as branding gave it, else the launcher's file name.
WideText ProductName() {
  uint32_t size = 0;
  const uint8_t* version =
      PlatformOwnResource(kResourceVersion, kVersionResourceId, &size);
  WideText name =
      version ? FindVersionString(version, size, u"ProductName") : WideText();
  return name.IsEmpty() ? ExtractName(ReadOwnPath()) : name;
}

void OpenWindow() {
  const WideText name = ProductName();
  WideText text(kPreparing);
  text.Append(name);
  text.Append(kEllipsis);
  gFeedback.open = PlatformOpenProgressWindow(name.Data(), text.Data(), kCancel);
  if (!gFeedback.open) gFeedback.never = true;
}

// What decoding will produce, as the records say before they are checked:
// only the bar's length depends on it.
uint64_t DecodedSize(PlatformHandle file, const PackageHeader& header) {
  if (header.packageForm != kFileSetForm)
    return header.payloadSize > 0 ? (uint64_t)header.payloadSize : 0;
  FileSetTableHeader table;
  if (PlatformReadAt(file, header.setTableOffset, &table, sizeof(table)) !=
      sizeof(table))
    return 0;
  return table.totalSize;
}

void MoveBar() {
  const uint64_t total = gFeedback.total ? gFeedback.total : 1;
  const uint64_t done = gFeedback.done < total ? gFeedback.done : total;
  // Work is far below 2^50 bytes: no overflow.
  const uint32_t position = (uint32_t)(done * 10000 / total);
  if (position <= gFeedback.position) return;
  gFeedback.position = position;
  PlatformSetProgressPosition(position);
}

// Opens the window when it is due, and answers another start.
void ConsiderWindow(uint64_t now) {
  if (gFeedback.request && now - gFeedback.lastPoll >= kEventPollMs) {
    gFeedback.lastPoll = now;
    if (PlatformEventSignalled(gFeedback.request)) gFeedback.asked = true;
  }
  if (!gFeedback.open && !gFeedback.never) {
    FeedbackFacts facts = {gFeedback.silent, gFeedback.forbidden, true,
                           gFeedback.asked, now - gFeedback.start};
    if (!ShouldOpenProgressWindow(facts)) return;
    if (!StationVisible()) {
      gFeedback.never = true;
      LeaveOtherStarts();
      return;
    }
    OpenWindow();
    if (gFeedback.never) LeaveOtherStarts();
  }
  if (gFeedback.open && gFeedback.asked) {
    gFeedback.asked = false;
    PlatformRaiseProgressWindow();
    PlatformSignalEvent(gFeedback.answer);
  }
}

}  // namespace

bool ShouldOpenProgressWindow(const FeedbackFacts& facts) {
  if (facts.silentSwitch || facts.packageForbids || !facts.stationVisible)
    return false;
  return facts.askedByAnotherStart || facts.elapsedMs > kProgressWindowDelayMs;
}

void BeginFeedback(PlatformHandle file) {
  gFeedback = FeedbackState();
  gFeedback.start = PlatformTickCount();
  gFeedback.lastPoll = gFeedback.start - kEventPollMs;  // look at once
  gFeedback.silent = HasSilentSwitch();
  gFeedback.total = gPackageLocator.crcLength;
  // The header is checked later, with the CRC region; read now, its flag
  // and its size only shape the window. An unreadable one shows none.
  PackageHeader header;
  if (!ReadAt(file, gPackageLocator.packageOffset, &header, sizeof(header))) {
    gFeedback.forbidden = true;
  } else {
    gFeedback.forbidden = (header.launchFlags & kLaunchWithoutProgressWindow) != 0;
    gFeedback.total += DecodedSize(file, header);
  }
  gFeedback.never = gFeedback.silent || gFeedback.forbidden;
  if (!gFeedback.never) JoinOtherStarts(file);
}

bool FeedbackProgress(uint64_t bytes) {
  gFeedback.done += bytes;
  if (gFeedback.never && !gFeedback.open) return true;
  ConsiderWindow(PlatformTickCount());
  if (!gFeedback.open) return true;
  MoveBar();
  if (PlatformPumpProgressWindow()) gFeedback.cancelled = true;
  return !gFeedback.cancelled;
}

bool FeedbackCancelled() { return gFeedback.cancelled; }

uint32_t FeedbackWait(const PlatformHandle* threads, uint32_t count) {
  PlatformHandle handles[16] = {};
  uint32_t n = 0;
  for (; n < count && n < 15; ++n) handles[n] = threads[n];
  if (gFeedback.request && !gFeedback.never) handles[n++] = gFeedback.request;
  const uint32_t woken = PlatformWaitForAnyOrInput(handles, n, kThreadWaitMs);
  if (woken < count) return woken;
  if (woken < n) gFeedback.asked = true;  // the request, reset by the wait
  return count;
}

void EndFeedback(PlatformHandle process) {
  LeaveOtherStarts();
  if (gFeedback.open) PlatformHandOverProgressWindow(process, kHandOverMs);
  gFeedback.open = false;
}
