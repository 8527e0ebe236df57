// SPDX-License-Identifier: 0BSD
// The temporary copy: folder choice, free-name choice, the copy written as
// the payload is decoded, and the lock that keeps it as it was written.
#include "extract/TemporaryCopy.h"

#include "core/Decimal.h"
#include "core/FatalErrors.h"
#include "core/Feedback.h"
#include "core/Memory.h"
#include "extract/Decompress.h"
#include "handoff/Administrator.h"
#include "handoff/Arguments.h"

namespace {

const uint32_t kTempPathCapacity = 256;
const WideChar kBackslash = u'\\';

WideText WindowsTemporaryFolder() {
  // Zeroed first: when the call fails or the path does not fit, the buffer
  // stays empty and the folder falls back to "C:\". GetTempPath2W gives
  // SYSTEM a folder only SYSTEM and administrators can reach
  // (C:\Windows\SystemTemp); for everyone else it answers as GetTempPathW.
  WideChar buffer[kTempPathCapacity + 1] = {};
  if (!PlatformGetTempPath2(buffer, kTempPathCapacity))
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

// The copy while it is written. Once a write fails (or the copy could not
// be made) nothing more is written, but decoding goes on to its verdict.
struct CopyInProgress {
  PlatformHandle file;
  bool failed;
  bool folderMade;
  bool markedForDeletion;
};

// Makes the private folder and the copy inside it. The copy is marked for
// deletion at once: until it is complete and accepted, closing its handle
// removes it, and so does the end of the process, however it comes. Where
// the system cannot mark it (before Vista), a failure deletes it by name.
CopyInProgress StartCopy(CopyLocation* location) {
  CopyInProgress copy = {PLATFORM_INVALID_HANDLE, true, false, false};
  copy.folderMade = CreatePrivateFolder(location, IsUserAdministrator());
  if (!copy.folderMade) return copy;
  copy.file = CreateUnderFreeName(&location->file);
  if (copy.file == PLATFORM_INVALID_HANDLE) return copy;
  copy.failed = false;
  copy.markedForDeletion = PlatformSetDeleteOnClose(copy.file, true);
  return copy;
}

void WritePiece(void* context, const uint8_t* data, uint32_t count) {
  CopyInProgress* copy = (CopyInProgress*)context;
  FeedbackProgress(count);  // a cancel stops the reads of the block
  if (copy->failed) return;
  if (PlatformWrite(copy->file, data, count) != count) copy->failed = true;
}

// Removes a copy that will not be started, and its folder. Through its own
// handle where the system allows, so no second open can fail or find
// another file there; otherwise by name after closing.
void DiscardCopy(const CopyInProgress& copy, const CopyLocation& location) {
  if (copy.file != PLATFORM_INVALID_HANDLE) {
    const bool marked =
        copy.markedForDeletion || PlatformSetDeleteOnClose(copy.file, true);
    PlatformCloseHandle(copy.file);
    if (!marked) PlatformDeleteFile(location.file.Data());
  }
  if (copy.folderMade) PlatformRemoveFolder(location.folder.Data());
}

[[noreturn]] void DiscardAndFail(const CopyInProgress& copy,
                                 const CopyLocation& location) {
  DiscardCopy(copy, location);
  FatalTempCopyFailed();
}

// Keeps the accepted copy and closes it, then opens it again for reading
// only, sharing only reading, and makes sure that is the file that was
// written. That handle is the lock the hand-off holds across the start.
PlatformHandle KeepAndLockCopy(CopyInProgress* copy,
                               const CopyLocation& location) {
  if (copy->markedForDeletion) {
    if (!PlatformSetDeleteOnClose(copy->file, false))
      DiscardAndFail(*copy, location);
    copy->markedForDeletion = false;
  }
  FileIdentity written;
  if (!PlatformGetFileIdentity(copy->file, &written))
    DiscardAndFail(*copy, location);
  PlatformCloseHandle(copy->file);

  PlatformHandle lock = PlatformOpenForReading(location.file.Data());
  FileIdentity locked;
  if (lock != PLATFORM_INVALID_HANDLE &&
      PlatformGetFileIdentity(lock, &locked) && SameFileIdentity(written, locked))
    return lock;
  if (lock != PLATFORM_INVALID_HANDLE) PlatformCloseHandle(lock);
  PlatformDeleteFile(location.file.Data());
  PlatformRemoveFolder(location.folder.Data());
  FatalTempCopyFailed();
}

}  // namespace

WideText NumberedPath(const WideText& path, int32_t number) {
  WideChar digits[kDecimalCapacity];
  const uint32_t count = FormatDecimal((uint32_t)number, digits);
  WideText numbered = path;
  uint32_t at = path.Length() >= 4 ? path.Length() - 4 : 0;
  numbered.Insert(at, digits, count);
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

WrittenCopy WriteTemporaryCopy(PlatformHandle file,
                               const PackageHeader& header) {
  // Everything the launcher allocates itself comes first: an out-of-memory
  // stop then happens before anything is on disk.
  PayloadStreams streams = CreatePayloadStreams(file, header);
  WrittenCopy written = {PlanCopyLocation(ChooseTemporaryFolder(),
                                          ExtractName(ArgumentAt(0))),
                         PLATFORM_INVALID_HANDLE};
  CopyInProgress copy = StartCopy(&written.location);

  LzmaOutcome outcome =
      DecompressPayload(file, header, streams, LzmaOutput{WritePiece, &copy});
  if (FeedbackCancelled()) {
    DiscardCopy(copy, written.location);
    ExitCancelled();
  }
  // A damaged payload outranks a copy that could not be written.
  if (outcome != LzmaOutcome::Accepted || copy.failed) {
    DiscardCopy(copy, written.location);
    if (outcome == LzmaOutcome::OutOfMemory) OutOfMemory();
    if (outcome != LzmaOutcome::Accepted) FatalPackageDamaged();
    FatalTempCopyFailed();
  }
  written.lock = KeepAndLockCopy(&copy, written.location);
  delete streams.output;
  delete streams.input;
  return written;
}

void RemoveWrittenCopy(const WrittenCopy& copy) {
  // The lock shares no deletion: it goes first.
  PlatformCloseHandle(copy.lock);
  PlatformDeleteFile(copy.location.file.Data());
  PlatformRemoveFolder(copy.location.folder.Data());
}

namespace {

void ReleaseCopy(void* owner) {
  PlatformCloseHandle(((WrittenCopy*)owner)->lock);
}

void RemoveCopy(void* owner) { RemoveWrittenCopy(*(WrittenCopy*)owner); }

}  // namespace

ExtractedSetup AsExtracted(const WrittenCopy& copy) {
  WrittenCopy* owner = KeepUntilExit(copy);
  return {copy.location.file, EntryKind::Program, ReleaseCopy, RemoveCopy,
          owner};
}
