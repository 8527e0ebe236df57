// SPDX-License-Identifier: 0BSD
// The temporary copy: folder choice, free-name choice, and the copy written
// as the payload is decoded.
#include "extract/TemporaryCopy.h"

#include "core/FatalErrors.h"
#include "core/Memory.h"
#include "extract/Decompress.h"
#include "handoff/Arguments.h"

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

// Creates the copy under the first free name, which it leaves in `*path`.
// Another launcher may take the chosen name between the existence test and
// the creation; the creation then fails rather than replacing that
// launcher's copy, and the search goes on with the next number as if the
// name had been taken all along. A creation that fails for another reason
// gives the invalid handle. Nothing is allocated once the file exists.
PlatformHandle CreateUnderFreeName(WideText* path) {
  const WideText base = *path;
  for (int32_t number = 1;; ++number) {
    *path = ChooseFreePath(base, &number);
    PlatformHandle file = PlatformCreateNewForWriting(path->Data());
    if (file != PLATFORM_INVALID_HANDLE || !PlatformPathExists(path->Data()))
      return file;
  }
}

// The copy while it is written. Once a write fails (or the file could not be
// created) nothing more is written, but decoding goes on to its verdict.
struct CopyInProgress {
  PlatformHandle file;
  bool failed;
};

void WritePiece(void* context, const uint8_t* data, uint32_t count) {
  CopyInProgress* copy = (CopyInProgress*)context;
  if (copy->failed) return;
  if (PlatformWrite(copy->file, data, count) != count) copy->failed = true;
}

// Removes a copy that will not be started. Marked for deletion through its
// own handle, so no second open can fail or find another file there; where
// the system cannot do that, it is deleted by name after closing.
void DiscardCopy(const CopyInProgress& copy, const WideText& path) {
  if (copy.file == PLATFORM_INVALID_HANDLE) return;
  const bool marked = PlatformDeleteOnClose(copy.file);
  PlatformCloseHandle(copy.file);
  if (!marked) PlatformDeleteFile(path.Data());
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

WideText WriteTemporaryCopy(PlatformHandle file, const PackageHeader& header) {
  // Everything the launcher allocates itself comes first: an out-of-memory
  // stop then happens before anything is on disk.
  PayloadStreams streams = CreatePayloadStreams(file, header);
  WideText path = ChooseTemporaryFolder();
  path.Append(ExtractName(ArgumentAt(0)));
  CopyInProgress copy = {CreateUnderFreeName(&path), false};
  copy.failed = copy.file == PLATFORM_INVALID_HANDLE;

  LzmaOutcome outcome =
      DecompressPayload(file, header, streams, LzmaOutput{WritePiece, &copy});
  // A damaged payload outranks a copy that could not be written.
  if (outcome != LzmaOutcome::Accepted || copy.failed) {
    DiscardCopy(copy, path);
    if (outcome == LzmaOutcome::OutOfMemory) OutOfMemory();
    if (outcome != LzmaOutcome::Accepted) FatalPackageDamaged();
    FatalTempCopyFailed();
  }
  PlatformCloseHandle(copy.file);
  delete streams.output;
  delete streams.input;
  return path;
}
