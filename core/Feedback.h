// SPDX-License-Identifier: 0BSD
// What an interactive user sees while a large package is checked and
// decoded, and what a second start of the same package does meanwhile.
//
// A launch that takes more than a second opens a small window with a
// progress bar and Cancel, where someone can see it: a visible window
// station, no "/s" or "/silent", and a package that does not turn it off.
// A second start of the same launcher file (its package's CRC-32 and size,
// and the file's identity, whatever name reached it) while the first
// unpacks asks the first to show its window and come to the front, and ends
// with ERROR_INSTALL_ALREADY_RUNNING instead of decoding a second copy.
// Unattended launches take no part in any of it, and a launch that opens no
// window loads nothing for it: until a window is due, all this costs a
// clock read per piece.
#pragma once

#include <stdint.h>

#include "platform/Platform.h"

// How long checking and decoding run before the window opens.
const uint32_t kProgressWindowDelayMs = 1000;

// How long a second start waits for the first to show its window.
const uint32_t kAnotherStartAnswerMs = 5000;

// The most a started setup program is waited for to be ready for input
// before the window closes.
const uint32_t kHandOverMs = 5000;

struct FeedbackFacts {
  bool silentSwitch;        // "/s" or "/silent" among the arguments
  bool packageForbids;      // stubpack build --no-progress
  bool stationVisible;      // someone could see a window
  bool askedByAnotherStart;
  uint64_t elapsedMs;       // since the package check began
};

// Whether the window opens now.
bool ShouldOpenProgressWindow(const FeedbackFacts& facts);

// Starts the clock once the locator is read and the file's size checked,
// and joins the arrangement with other starts of this package, or ends
// with exit code 1618 when one of them shows its window for this one.
void BeginFeedback(PlatformHandle file);

// `bytes` more of it are done. Called on the main thread between pieces:
// may open the window, moves its bar, dispatches its messages and answers
// another start. False once the user has cancelled.
bool FeedbackProgress(uint64_t bytes);

// The user has cancelled.
bool FeedbackCancelled();

// For the main thread while `count` decoding threads work: waits until one
// of them has ended, a message for the window arrives, another start asks,
// or a tenth of a second passes. The index of an ended thread, else `count`.
uint32_t FeedbackWait(const PlatformHandle* threads, uint32_t count);

// After a successful start: lets the started process take the foreground,
// keeps the window until it is ready for input, then closes it; this
// launch no longer answers other starts.
void EndFeedback(PlatformHandle process);
