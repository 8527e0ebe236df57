// SPDX-License-Identifier: 0BSD
// Writing a file set into the private folder, and removing it again.
#include "extract/FileSetCopy.h"

#include "core/FatalErrors.h"
#include "core/Feedback.h"
#include "core/Memory.h"
#include "core/OwnFile.h"
#include "extract/Decompress.h"
#include "extract/FileSetTable.h"
#include "extract/PrivateFolder.h"
#include "extract/SetDecoding.h"
#include "extract/TemporaryCopy.h"
#include "handoff/Administrator.h"
#include "handoff/Arguments.h"

namespace {

// Where a file stands: not made yet, being written (through its writing
// handle, marked for deletion where the system allows), on disk without a
// handle, or held by its read-only lock.
enum class FileState : uint8_t { Absent, Writing, Closed, Locked };

struct SetFile {
  uint64_t index;          // its file index, once written
  uint32_t nameOffset;    // of its path in the table's names
  FileState state;
  bool marked;
};

struct WrittenSet {
  uint8_t* table = nullptr;
  FileSetView view = {};
  CopyLocation location;  // the private folder; `file` is the entry
  SetFile* files = nullptr;
  PlatformHandle* handles = nullptr;  // each file's writing handle, then its lock
  uint64_t* fileStarts = nullptr;     // each file's offset in the concatenation
  bool folderMade = false;
  LzmaProperties properties = {};
  DecodePieces* pieces = nullptr;     // one per decoding thread
  uint32_t threads = 0;
  // The launcher's own file name, which a set of one file may ask for in
  // place of its stored path; empty otherwise.
  WideText launcherName;
};

// A full path in the set: the private folder, a backslash and a relative
// path. Every path was measured before anything was made, so each fits.
class SetPath {
 public:
  explicit SetPath(const WideText& folder) : base_(folder.Length() + 1) {
    for (uint32_t i = 0; i + 1 < base_; ++i) units_[i] = folder.At(i);
    units_[base_ - 1] = u'\\';
  }
  const WideChar* Of(const WideChar* relative, uint32_t length) {
    if (base_ + length > kMaxFilePathUnits) length = kMaxFilePathUnits - base_;
    for (uint32_t i = 0; i < length; ++i) units_[base_ + i] = relative[i];
    units_[base_ + length] = 0;
    return units_;
  }
  uint32_t Base() const { return base_; }

 private:
  uint32_t base_;
  WideChar units_[kMaxFilePathUnits + 1];
};

const WideChar* StoredNameOf(const WrittenSet& set, uint32_t index) {
  return set.view.names + set.files[index].nameOffset;
}

// A file's path on disk, within the private folder.
const WideChar* NameOf(const WrittenSet& set, uint32_t index) {
  if (!set.launcherName.IsEmpty()) return set.launcherName.Data();
  return StoredNameOf(set, index);
}

uint32_t NameLength(const WrittenSet& set, uint32_t index) {
  if (!set.launcherName.IsEmpty()) return set.launcherName.Length();
  return set.view.files[index].nameUnits;
}

// The folders file `index` needs that the file before it did not, as the
// lengths of their paths within its own, outermost first. The table's order
// puts a folder's contents together and spells each folder one way, so
// every folder of the set is named exactly once this way.
uint32_t NewFolders(const WrittenSet& set, uint32_t index,
                    uint32_t lengths[kMaxSetDepth]) {
  const WideChar* path = NameOf(set, index);
  const uint32_t length = NameLength(set, index);
  uint32_t shared = 0;
  if (index > 0) {
    const WideChar* previous = NameOf(set, index - 1);
    const uint32_t previousLength = NameLength(set, index - 1);
    while (shared < length && shared < previousLength &&
           path[shared] == previous[shared])
      ++shared;
    while (shared > 0 && path[shared - 1] != u'\\') --shared;
  }
  uint32_t count = 0;
  for (uint32_t at = shared; at < length; ++at)
    if (path[at] == u'\\') lengths[count++] = at;
  return count;
}

// Windows refuses longer paths; finding one only when the set is half made
// would leave the rest to clean up.
bool PathsFit(const WrittenSet& set) {
  const uint32_t base = set.location.folder.Length() + 1;
  if (base - 1 > kMaxFolderPathUnits) return false;
  for (uint32_t i = 0; i < set.view.header->fileCount; ++i) {
    if (base + NameLength(set, i) > kMaxFilePathUnits) return false;
    uint32_t folders[kMaxSetDepth];
    const uint32_t count = NewFolders(set, i, folders);
    for (uint32_t k = 0; k < count; ++k)
      if (base + folders[k] > kMaxFolderPathUnits) return false;
  }
  return true;
}

uint32_t PieceSize(uint64_t largest, int32_t piece) {
  return largest < (uint64_t)piece ? (uint32_t)largest : (uint32_t)piece;
}

// How many threads decode, and their piece buffers, no larger than the
// largest block needs.
void CreatePieces(WrittenSet* set) {
  const FileSetView& view = set->view;
  uint64_t packed = 1, unpacked = 1;
  for (uint32_t i = 0; i < view.header->blockCount; ++i) {
    if (view.blocks[i].packedSize > packed) packed = view.blocks[i].packedSize;
    if (view.blocks[i].unpackedSize > unpacked)
      unpacked = view.blocks[i].unpackedSize;
  }
  set->threads = ChooseDecodeThreads(
      PlatformProcessorCount(), view.header->blockCount,
      SetDictionaryBytes(view, set->properties), PlatformAvailableMemory());
  set->pieces = (DecodePieces*)AllocateOrDie(sizeof(DecodePieces) * set->threads);
  for (uint32_t i = 0; i < set->threads; ++i) {
    set->pieces[i] = {new TStream(), new TStream()};
    set->pieces[i].input->SetSize((int32_t)PieceSize(packed, kBlockPieceSize));
    set->pieces[i].output->SetSize((int32_t)PieceSize(unpacked, kOutputPieceSize));
  }
}

void ReleasePieces(WrittenSet* set) {
  for (uint32_t i = 0; i < set->threads; ++i) {
    delete set->pieces[i].output;
    delete set->pieces[i].input;
  }
  Release(set->pieces);
}

// Reads and judges everything before anything is made on disk, and
// allocates everything the launcher needs for the set there too: an
// out-of-memory stop then leaves nothing behind.
WrittenSet* LoadSet(PlatformHandle file, const PackageHeader& header) {
  if (!SetTablePlaceIsSound(header, gPackageLocator)) FatalPackageDamaged();
  const uint32_t size = (uint32_t)header.setTableSize;
  uint8_t* table = (uint8_t*)AllocateOrDie(size);
  if (PlatformReadAt(file, header.setTableOffset, table, size) != size)
    FatalPackageDamaged();
  FileSetView view;
  const SetTableCheck check = CheckSetTable(
      table, size, header.setTableOffset, PlatformGetFileSize(file), &view);
  if (check.rule == SetTableRule::Truncated) FatalPackageTruncated();
  if (check.rule != SetTableRule::None) FatalPackageDamaged();

  WrittenSet* set = KeepUntilExit(WrittenSet());
  set->table = table;
  set->view = view;
  if (!AcceptLzmaProperties(header.lzmaProperties, &set->properties))
    FatalPackageDamaged();
  CreatePieces(set);
  const uint32_t count = view.header->fileCount;
  set->files = (SetFile*)AllocateOrDie(sizeof(SetFile) * count);
  set->handles = (PlatformHandle*)AllocateOrDie(sizeof(PlatformHandle) * count);
  set->fileStarts = (uint64_t*)AllocateOrDie(sizeof(uint64_t) * count);
  uint32_t offset = 0;
  uint64_t start = 0;
  for (uint32_t i = 0; i < count; ++i) {
    set->files[i] = {{}, offset, FileState::Absent, false};
    set->handles[i] = PLATFORM_INVALID_HANDLE;
    set->fileStarts[i] = start;
    offset += view.files[i].nameUnits;
    start += view.files[i].size;
  }
  if (view.header->flags & kSetEntryTakesLauncherName)
    set->launcherName = ExtractName(ArgumentAt(0));
  const uint32_t entry = view.header->entryIndex;
  set->location = PlanCopyLocation(
      ChooseTemporaryFolder(),
      WideText(NameOf(*set, entry), NameLength(*set, entry)));
  return set;
}

// Makes the private folder, the set's folders (they inherit its DACL) and
// every file, each created new and marked for deletion at once. Stops at
// the first that cannot be made.
bool CreateSetOnDisk(WrittenSet* set) {
  set->folderMade = CreatePrivateFolder(&set->location, IsUserAdministrator());
  if (!set->folderMade) return false;
  SetPath path(set->location.folder);
  for (uint32_t i = 0; i < set->view.header->fileCount; ++i) {
    // Thousands of files take a while: the window keeps answering.
    if (!FeedbackProgress(0)) return false;
    uint32_t folders[kMaxSetDepth];
    const uint32_t count = NewFolders(*set, i, folders);
    for (uint32_t k = 0; k < count; ++k)
      if (!PlatformCreateFolder(path.Of(NameOf(*set, i), folders[k])))
        return false;
    PlatformHandle& handle = set->handles[i];
    handle = PlatformCreateNewForWriting(
        path.Of(NameOf(*set, i), NameLength(*set, i)));
    if (handle == PLATFORM_INVALID_HANDLE) return false;
    set->files[i].state = FileState::Writing;
    set->files[i].marked = PlatformSetDeleteOnClose(handle, true);
  }
  return true;
}

// Deletes a file of the set only if it is still the file that was written:
// whatever took its place, through a swapped folder or a link, stays.
// Every file of a set lies in the one private folder, on one volume, so
// the file index tells them apart.
void DeleteOwnedFile(const WideChar* path, uint64_t index) {
  PlatformHandle handle = PlatformOpenForDeletion(path);
  if (handle == PLATFORM_INVALID_HANDLE) return;
  uint64_t found;
  const bool same = PlatformGetFileIndex(handle, &found) && found == index;
  const bool marked = same && PlatformSetDeleteOnClose(handle, true);
  PlatformCloseHandle(handle);
  if (same && !marked) PlatformDeleteFile(path);  // before Vista
}

void RemoveFile(SetFile* file, PlatformHandle handle, const WideChar* path) {
  switch (file->state) {
    case FileState::Absent:
      return;
    case FileState::Writing: {
      const bool marked = file->marked || PlatformSetDeleteOnClose(handle, true);
      PlatformCloseHandle(handle);
      if (!marked) PlatformDeleteFile(path);
      break;
    }
    case FileState::Locked:
      PlatformCloseHandle(handle);  // it shares no deletion
      DeleteOwnedFile(path, file->index);
      break;
    case FileState::Closed:
      DeleteOwnedFile(path, file->index);
      break;
  }
  file->state = FileState::Absent;
}

// Removes every file and then every folder, the innermost first. A folder
// that is not empty (something the setup program left) stays.
void RemoveSet(void* owner) {
  WrittenSet* set = (WrittenSet*)owner;
  if (!set->folderMade) return;
  SetPath path(set->location.folder);
  const uint32_t count = set->view.header->fileCount;
  for (uint32_t i = 0; i < count; ++i)
    RemoveFile(&set->files[i], set->handles[i],
               path.Of(NameOf(*set, i), NameLength(*set, i)));
  for (uint32_t i = count; i-- > 0;) {
    uint32_t folders[kMaxSetDepth];
    for (uint32_t k = NewFolders(*set, i, folders); k-- > 0;)
      PlatformRemoveFolder(path.Of(NameOf(*set, i), folders[k]));
  }
  PlatformRemoveFolder(set->location.folder.Data());
}

void ReleaseSet(void* owner) {
  WrittenSet* set = (WrittenSet*)owner;
  for (uint32_t i = 0; i < set->view.header->fileCount; ++i) {
    SetFile& file = set->files[i];
    if (file.state != FileState::Locked) continue;
    PlatformCloseHandle(set->handles[i]);
    file.state = FileState::Closed;
  }
}

[[noreturn]] void RemoveAndFail(WrittenSet* set) {
  RemoveSet(set);
  FatalTempCopyFailed();
}

// Keeps every file and closes it, then opens it again read-only, sharing
// only reading, and makes sure it is the file that was written. Those
// handles are the locks held across the start.
void KeepAndLockSet(WrittenSet* set) {
  SetPath path(set->location.folder);
  for (uint32_t i = 0; i < set->view.header->fileCount; ++i) {
    if (!FeedbackProgress(0)) {  // cancelled after all: nothing is kept
      RemoveSet(set);
      ExitCancelled();
    }
    SetFile& file = set->files[i];
    PlatformHandle& handle = set->handles[i];
    if (file.marked && !PlatformSetDeleteOnClose(handle, false))
      RemoveAndFail(set);
    file.marked = false;
    if (!PlatformGetFileIndex(handle, &file.index)) RemoveAndFail(set);
    PlatformCloseHandle(handle);
    file.state = FileState::Closed;
    handle =
        PlatformOpenForReading(path.Of(NameOf(*set, i), NameLength(*set, i)));
    if (handle == PLATFORM_INVALID_HANDLE) RemoveAndFail(set);
    file.state = FileState::Locked;
    uint64_t locked;
    if (!PlatformGetFileIndex(handle, &locked) || locked != file.index)
      RemoveAndFail(set);
  }
}

}  // namespace

ExtractedSetup WriteFileSet(PlatformHandle file, const PackageHeader& header) {
  WrittenSet* set = LoadSet(file, header);
  if (!PathsFit(*set)) FatalTempCopyFailed();
  const bool made = CreateSetOnDisk(set);
  const SetDecodeResult result = DecodeSetBlocks(
      {file, &set->view, set->properties, set->handles, set->fileStarts, made,
       set->pieces, set->threads});
  if (result.cancelled) {
    RemoveSet(set);
    ExitCancelled();
  }
  // A damaged package outranks a set that could not be written.
  if (result.outcome != LzmaOutcome::Accepted || !made || result.writeFailed) {
    RemoveSet(set);
    if (result.outcome == LzmaOutcome::OutOfMemory) OutOfMemory();
    if (result.outcome != LzmaOutcome::Accepted) FatalPackageDamaged();
    FatalTempCopyFailed();
  }
  KeepAndLockSet(set);
  ReleasePieces(set);
  const uint32_t entry = set->view.header->entryIndex;
  return {set->location.file,
          EntryKindOf(StoredNameOf(*set, entry),
                      set->view.files[entry].nameUnits),
          ReleaseSet, RemoveSet, set};
}
