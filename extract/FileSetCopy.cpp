// SPDX-License-Identifier: 0BSD
// Writing a file set into the private folder, and removing it again.
#include "extract/FileSetCopy.h"

#include "core/FatalErrors.h"
#include "core/Memory.h"
#include "core/OwnFile.h"
#include "extract/Decompress.h"
#include "extract/FileSetTable.h"
#include "extract/PrivateFolder.h"
#include "extract/SetBlockDecoder.h"
#include "extract/TemporaryCopy.h"
#include "handoff/Administrator.h"

namespace {

// Where a file stands: not made yet, being written (through its writing
// handle, marked for deletion where the system allows), on disk without a
// handle, or held by its read-only lock.
enum class FileState : uint8_t { Absent, Writing, Closed, Locked };

struct SetFile {
  PlatformHandle handle;
  FileIdentity identity;  // once written
  uint32_t nameOffset;    // of its path in the table's names
  FileState state;
  bool marked;
};

struct WrittenSet {
  uint8_t* table;
  FileSetView view;
  CopyLocation location;  // the private folder; `file` is the entry
  SetFile* files;
  bool folderMade;
  // The decoder's settings and piece buffers, as for one program.
  LzmaProperties properties;
  TStream* input;
  TStream* output;
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

const WideChar* NameOf(const WrittenSet& set, uint32_t index) {
  return set.view.names + set.files[index].nameOffset;
}

uint32_t NameLength(const WrittenSet& set, uint32_t index) {
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

// Piece buffers no larger than the largest block needs.
void CreatePieces(WrittenSet* set) {
  const FileSetView& view = set->view;
  uint64_t packed = 1, unpacked = 1;
  for (uint32_t i = 0; i < view.header->blockCount; ++i) {
    if (view.blocks[i].packedSize > packed) packed = view.blocks[i].packedSize;
    if (view.blocks[i].unpackedSize > unpacked)
      unpacked = view.blocks[i].unpackedSize;
  }
  set->input = new TStream();
  set->output = new TStream();
  set->input->SetSize((int32_t)PieceSize(packed, kBlockPieceSize));
  set->output->SetSize((int32_t)PieceSize(unpacked, kOutputPieceSize));
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

  WrittenSet* set = KeepUntilExit(
      WrittenSet{table, view, {}, nullptr, false, {}, nullptr, nullptr});
  if (!AcceptLzmaProperties(header.lzmaProperties, &set->properties))
    FatalPackageDamaged();
  CreatePieces(set);
  const uint32_t count = view.header->fileCount;
  set->files = (SetFile*)AllocateOrDie(sizeof(SetFile) * count);
  uint32_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    set->files[i] = {PLATFORM_INVALID_HANDLE, {}, offset, FileState::Absent,
                     false};
    offset += view.files[i].nameUnits;
  }
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
    uint32_t folders[kMaxSetDepth];
    const uint32_t count = NewFolders(*set, i, folders);
    for (uint32_t k = 0; k < count; ++k)
      if (!PlatformCreateFolder(path.Of(NameOf(*set, i), folders[k])))
        return false;
    SetFile& file = set->files[i];
    file.handle = PlatformCreateNewForWriting(
        path.Of(NameOf(*set, i), NameLength(*set, i)));
    if (file.handle == PLATFORM_INVALID_HANDLE) return false;
    file.state = FileState::Writing;
    file.marked = PlatformSetDeleteOnClose(file.handle, true);
  }
  return true;
}

// Hands decoded bytes to the files they belong to, in table order. Once a
// file could not be made or written nothing more is written, but decoding
// goes on to its verdict.
struct SetWriter {
  WrittenSet* set;
  uint32_t file;
  uint64_t offset;  // within that file
  bool failed;
};

void WriteSetPiece(void* context, const uint8_t* data, uint32_t count) {
  SetWriter* writer = (SetWriter*)context;
  const FileSetView& view = writer->set->view;
  while (count > 0 && writer->file < view.header->fileCount) {
    const uint64_t size = view.files[writer->file].size;
    if (writer->offset == size) {
      ++writer->file;
      writer->offset = 0;
      continue;
    }
    const uint64_t left = size - writer->offset;
    const uint32_t take = left < count ? (uint32_t)left : count;
    const SetFile& file = writer->set->files[writer->file];
    if (!writer->failed &&
        PlatformWriteAt(file.handle, writer->offset, data, take) != take)
      writer->failed = true;
    writer->offset += take;
    data += take;
    count -= take;
  }
}

// Decodes every block, in order, into the files.
LzmaOutcome DecodeSet(PlatformHandle file, SetWriter* writer) {
  const WrittenSet& set = *writer->set;
  const LzmaOutput sink = {WriteSetPiece, writer};
  for (uint32_t i = 0; i < set.view.header->blockCount; ++i) {
    const LzmaOutcome outcome = DecodeSetBlock(
        file, set.view, set.properties, i, set.input, set.output, sink);
    if (outcome != LzmaOutcome::Accepted) return outcome;
  }
  return LzmaOutcome::Accepted;
}

// Deletes a file of the set only if it is still the file that was written:
// whatever took its place, through a swapped folder or a link, stays.
void DeleteOwnedFile(const WideChar* path, const FileIdentity& identity) {
  PlatformHandle handle = PlatformOpenForDeletion(path);
  if (handle == PLATFORM_INVALID_HANDLE) return;
  FileIdentity found;
  const bool same = PlatformGetFileIdentity(handle, &found) &&
                    SameFileIdentity(found, identity);
  const bool marked = same && PlatformSetDeleteOnClose(handle, true);
  PlatformCloseHandle(handle);
  if (same && !marked) PlatformDeleteFile(path);  // before Vista
}

void RemoveFile(SetFile* file, const WideChar* path) {
  switch (file->state) {
    case FileState::Absent:
      return;
    case FileState::Writing: {
      const bool marked =
          file->marked || PlatformSetDeleteOnClose(file->handle, true);
      PlatformCloseHandle(file->handle);
      if (!marked) PlatformDeleteFile(path);
      break;
    }
    case FileState::Locked:
      PlatformCloseHandle(file->handle);  // it shares no deletion
      DeleteOwnedFile(path, file->identity);
      break;
    case FileState::Closed:
      DeleteOwnedFile(path, file->identity);
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
    RemoveFile(&set->files[i], path.Of(NameOf(*set, i), NameLength(*set, i)));
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
    PlatformCloseHandle(file.handle);
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
    SetFile& file = set->files[i];
    if (file.marked && !PlatformSetDeleteOnClose(file.handle, false))
      RemoveAndFail(set);
    file.marked = false;
    if (!PlatformGetFileIdentity(file.handle, &file.identity))
      RemoveAndFail(set);
    PlatformCloseHandle(file.handle);
    file.state = FileState::Closed;
    file.handle =
        PlatformOpenForReading(path.Of(NameOf(*set, i), NameLength(*set, i)));
    if (file.handle == PLATFORM_INVALID_HANDLE) RemoveAndFail(set);
    file.state = FileState::Locked;
    FileIdentity locked;
    if (!PlatformGetFileIdentity(file.handle, &locked) ||
        !SameFileIdentity(locked, file.identity))
      RemoveAndFail(set);
  }
}

}  // namespace

ExtractedSetup WriteFileSet(PlatformHandle file, const PackageHeader& header) {
  WrittenSet* set = LoadSet(file, header);
  if (!PathsFit(*set)) FatalTempCopyFailed();
  SetWriter writer = {set, 0, 0, !CreateSetOnDisk(set)};
  const LzmaOutcome outcome = DecodeSet(file, &writer);
  // A damaged package outranks a set that could not be written.
  if (outcome != LzmaOutcome::Accepted || writer.failed) {
    RemoveSet(set);
    if (outcome == LzmaOutcome::OutOfMemory) OutOfMemory();
    if (outcome != LzmaOutcome::Accepted) FatalPackageDamaged();
    FatalTempCopyFailed();
  }
  KeepAndLockSet(set);
  delete set->output;
  delete set->input;
  const uint32_t entry = set->view.header->entryIndex;
  return {set->location.file,
          EntryKindOf(NameOf(*set, entry), NameLength(*set, entry)),
          ReleaseSet, RemoveSet, set};
}
