// SPDX-License-Identifier: 0BSD
// extract's output for a file set: a folder the files are written into as
// they are decoded. Nothing is written outside it and no link is followed:
// on POSIX every folder and file is created relative to a descriptor of
// its parent folder, opened without following links; on Windows every
// folder stubpack creates is held open, without delete sharing, until the
// end, so no name on the way can be swapped for a link or junction. Every
// file and folder is created new. Unless Commit succeeds, everything
// created goes again, and the folder too when this created it: on failure,
// and on Ctrl-C, SIGTERM or SIGHUP (a console event on Windows) before
// stubpack ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packer/ByteSink.h"

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
  bool Begin(const std::u16string& path, uint64_t size) override;
  bool Append(const uint8_t* data, size_t size) override;

  // Closes the last file; from now on everything stays.
  bool Commit();
  // Removes everything created, in reverse order.
  void Discard();

 private:
  friend struct SetFolderInterrupts;

  struct Created {
    std::vector<std::string> names;  // from the folder down
    bool folder;
  };

  bool Fail(const std::string& message);
  bool FinishFile();
  bool EnterFolders(const std::vector<std::string>& names);
  bool MakeFolder(const std::vector<std::string>& names);
  bool MakeFile(const std::vector<std::string>& names);
  void CloseAll();
  void RemoveCreated(const Created& created);

  std::string folder_;
  bool open_ = false;
  bool createdFolder_ = false;
  std::vector<Created> created_;
  std::string filePath_;  // of the file being written, for messages
  uint64_t fileSize_ = 0;
  uint64_t fileWritten_ = 0;
#ifdef _WIN32
  void* root_ = nullptr;
  std::vector<std::string> current_;  // the folder path files now go to
  std::vector<void*> folders_;        // every created folder, held open
  void* file_ = nullptr;
#else
  int root_ = -1;
  std::vector<std::string> current_;  // names of the open folders below root
  std::vector<int> folders_;          // their descriptors
  int file_ = -1;
#endif
};

}  // namespace packer
