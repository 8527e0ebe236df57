// SPDX-License-Identifier: 0BSD
// A file set from a folder, with its entry's signature cared for.
#include "packer/SetupFolder.h"

#include <memory>

#include "extract/FileSetNames.h"
#include "packer/FileIO.h"
#include "packer/PackageWriter.h"
#include "packer/SetFolder.h"

namespace packer {
namespace {

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

// The entry's own file, as this system names it.
std::string EntryPath(const std::string& folder, const std::u16string& path) {
  std::string relative = Utf16ToUtf8(path);
#ifndef _WIN32
  for (char& c : relative)
    if (c == '\\') c = '/';
#endif
  return folder + "/" + relative;
}

// The entry is read from its signed copy, whose size the table records.
bool UseSignedEntry(SetFile* entry, const std::string& copy, std::string* error) {
  FileSource probe;
  if (!probe.Open(copy, "signed entry")) return Fail(error, probe.error);
  entry->size = probe.Size();
  entry->open = [copy](std::string* problem) -> std::unique_ptr<ByteSource> {
    auto source = std::make_unique<FileSource>();
    if (source->Open(copy, "signed entry")) return source;
    *problem = source->error;
    return nullptr;
  };
  return true;
}

}  // namespace

bool PrepareSetupFolder(const SetupFolderOptions& options, SetupFolder* folder,
                        std::string* error) {
  FileSet& set = folder->set;
  if (!ReadSetFolder(options.folder, &set.files, error)) return false;
  if (set.files.empty())
    return Fail(error, "--setup-dir " + options.folder +
                           " holds no files (empty folders are not carried)");
  std::string entry = options.entry;
  for (char& c : entry)
    if (c == '/') c = '\\';
  if (!Utf8ToUtf16(entry, &set.entry)) return Fail(error, "--entry is not valid UTF-8");
  set.blockSize = options.blockSize;
  *error = PlanFileSet(&set);
  if (!error->empty()) return false;

  SetFile& file = EntryOf(set);
  const bool program = EntryKindOf(file.path.data(), (uint32_t)file.path.size()) ==
                       EntryKind::Program;
  if (!program) {
    if (options.signSetup)
      return Fail(error, "--sign-setup signs an .exe entry; the entry " + file.name +
                             " is an .msi: sign it with its own tools before packing");
    return true;
  }
  // As for one setup program: a broken signature is refused, an unsigned
  // one warned about when only the launcher file gets signed.
  if (!PrepareSetupProgram({EntryPath(options.folder, file.path), options.outPath,
                            options.signCommand, options.signTimeout, options.signSetup,
                            options.resignSetup},
                           &folder->entry, error))
    return false;
  if (!options.signSetup) return true;
  return UseSignedEntry(&file, folder->entry.Path(), error);
}

}  // namespace packer
