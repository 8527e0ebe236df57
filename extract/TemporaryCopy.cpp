// SPDX-License-Identifier: 0BSD
// The temporary copy: folder choice, free-name choice and the single write.
#include "extract/TemporaryCopy.h"

#include "core/FatalErrors.h"
#include "handoff/Arguments.h"
#include "platform/Platform.h"

namespace {

const uint32_t kTempPathCapacity = 256;
const WideChar kBackslash = u'\\';

WideText WindowsTemporaryFolder() {
  // Zeroed first: when the call fails or the path does not fit, the buffer
  // stays empty and the folder falls back to "C:\".
  WideChar buffer[kTempPathCapacity + 1] = {};
  PlatformGetTempPath(buffer, kTempPathCapacity);
  uint32_t length = 0;
  while (length < kTempPathCapacity && buffer[length] != 0) ++length;
  return WideText(buffer, length);
}

// The unnumbered path is candidate 1; candidates 2, 3, ... are numbered.
WideText Candidate(const WideText& path, int32_t number) {
  return number == 1 ? path : NumberedPath(path, number);
}

// The first candidate from `*number` on that does not exist yet; `*number`
// is left at its number.
WideText ChooseFreePath(const WideText& path, int32_t* number) {
  for (;; ++*number) {
    WideText candidate = Candidate(path, *number);
    if (!PlatformPathExists(candidate.Data())) return candidate;
  }
}

// Creates the copy under the first free name. Another launcher may take the
// chosen name between the existence test and the creation; the creation then
// fails rather than replacing that launcher's copy, and the search goes on
// with the next number as if the name had been taken all along.
WideText CreateUnderFreeName(const WideText& path, PlatformHandle* file) {
  for (int32_t number = 1;; ++number) {
    WideText candidate = ChooseFreePath(path, &number);
    *file = PlatformCreateNewForWriting(candidate.Data());
    if (*file != PLATFORM_INVALID_HANDLE) return candidate;
    if (!PlatformPathExists(candidate.Data())) FatalTempCopyFailed();
  }
}

}  // namespace

WideText ExtractName(const WideText& path) {
  uint32_t start = path.Length();
  while (start > 0 && path.At(start - 1) != kBackslash) --start;
  return path.Slice(start, path.Length() - start);
}

WideText NumberedPath(const WideText& path, int32_t number) {
  WideChar digits[12];
  uint32_t count = 0;
  uint32_t value = (uint32_t)number;
  do {
    digits[count++] = (WideChar)(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  WideChar ordered[12];
  for (uint32_t i = 0; i < count; ++i) ordered[i] = digits[count - 1 - i];

  WideText numbered = path;
  uint32_t at = path.Length() >= 4 ? path.Length() - 4 : 0;
  numbered.Insert(at, ordered, count);
  return numbered;
}

WideText ChooseTemporaryFolder() {
  const int32_t count = ArgumentCount();
  if (EqualsIgnoreCase(ArgumentAt(count), u"/temp"))
    return ExtractFolder(ArgumentAt(0));

  WideText folder = WindowsTemporaryFolder();
  if (folder.IsEmpty()) folder = WideText(u"C:\\");
  for (int32_t i = count - 1; i >= 1; --i) {
    if (EqualsIgnoreCase(ArgumentAt(i), u"/temp")) {
      folder = ArgumentAt(i + 1);
      break;
    }
  }
  if (folder.Last() != kBackslash) folder.Append(kBackslash);
  return folder;
}

WideText WriteTemporaryCopy(TStream* output, TStream* input,
                            int32_t payloadSize) {
  WideText path = ChooseTemporaryFolder();
  path.Append(ExtractName(ArgumentAt(0)));
  PlatformHandle file;
  path = CreateUnderFreeName(path, &file);
  uint32_t written = PlatformWrite(file, output->Memory, (uint32_t)payloadSize);
  PlatformCloseHandle(file);
  if (written != (uint32_t)payloadSize) {
    PlatformDeleteFile(path.Data());
    FatalTempCopyFailed();
  }

  delete output;
  delete input;
  return path;
}
