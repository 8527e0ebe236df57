// SPDX-License-Identifier: 0BSD
// extract's output for a file set: a folder the files are created in, all
// of them before decoding starts, and then written at their offsets by the
// threads that decode the blocks. Nothing is written outside it and no
// link is followed: on POSIX every folder and file is created relative to
// a descriptor of its parent folder, opened without following links; on
// Windows every folder stubpack creates is held open, without delete
// sharing, until the end, so no name on the way can be swapped for a link
// or junction. Every file and folder is created new, and every file is
// held open until the end, so the bytes go into the file made and nowhere
// else. Unless Commit succeeds, everything created goes again, and the
// folder too when this created it: on failure, and on Ctrl-C, SIGTERM or
// SIGHUP (a console event on Windows) before stubpack ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "packer/ByteSink.h"
#include "packer/Threads.h"

namespace packer {

class SetFolderOutput : public SetSink {
 public:
  SetFolderOutput() = default;
  SetFolderOutput(const SetFolderOutput&) = delete;
  SetFolderOutput& operator=(const SetFolderOutput&) = delete;
  ~SetFolderOutput() override;

  // Takes `folder` (UTF-8): created when missing; one that exists must be
  // an empty folder, so that no file of the user's is mixed with or
  // replaced by the set's.
  bool Open(const std::string& folder);

  // The next file, in the table's order (each folder's files together):
  // its folders and the file itself are created. A path that breaks the
  // set's path rules is refused.
  bool Create(const std::u16string& path, uint64_t size) override;
  bool WriteAt(uint32_t index, uint64_t offset, const uint8_t* data, size_t size,
               std::string* problem) override;

  // Closes every file, each of which must have got all its bytes; from
  // now on everything stays.
  bool Commit();
  // Removes everything created, in reverse order.
  void Discard();

 private:
  friend struct SetFolderInterrupts;

  struct Created {
    std::vector<std::string> names;  // from the folder down
    bool folder;
  };

  // A file created, held open for writing.
  struct OpenedFile {
    std::string path;  // printable, for messages
    uint64_t size;
    std::atomic<uint64_t> written{0};
#ifdef _WIN32
    void* handle = nullptr;
#else
    int descriptor = -1;
#endif
  };

  bool Fail(const std::string& message);
  bool EnterFolders(const std::vector<std::string>& names);
  bool MakeFolder(const std::vector<std::string>& names);
  bool MakeFile(const std::vector<std::string>& names, OpenedFile* file);
  bool CloseFiles();
  void CloseAll();
  void RemoveCreated(const Created& created);

  std::string folder_;
  bool open_ = false;
  bool createdFolder_ = false;
  std::vector<Created> created_;
  std::deque<OpenedFile> files_;  // in the order of Create
  // Writes hold it shared; Discard, which may come from a console event's
  // thread while blocks are written, holds it alone.
  SharedLock writes_;
#ifdef _WIN32
  void* root_ = nullptr;
  std::vector<std::string> current_;  // the folder path files now go to
  std::vector<void*> folders_;        // every created folder, held open
#else
  int root_ = -1;
  std::vector<std::string> current_;  // names of the open folders below root
  std::vector<int> folders_;          // their descriptors
#endif
};

}  // namespace packer
