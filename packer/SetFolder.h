// SPDX-License-Identifier: 0BSD
// build --setup-dir: the folder a file set is made of, read without
// following any link. A set carries regular files only: a link could bring
// in a file from anywhere on the build machine (a key, another product),
// and a device or a FIFO has no bytes to carry. So everything under the
// folder must be a regular file or a folder; anything else is refused with
// one line naming it. Empty folders are not carried. The folder named by
// the caller may itself be a link.
#pragma once

#include <string>
#include <vector>

#include "packer/FileSetWriter.h"

namespace packer {

// Every regular file under `folder` (UTF-8), with its path relative to it
// (backslashes between names), its size and a way to read it that refuses
// the file if it is no longer the one found here. Paths are not checked
// against the set's rules here (PlanFileSet does that), except what this
// system's names cannot say otherwise: a name that is not UTF-8, or that
// holds a backslash, is refused. False with one line.
bool ReadSetFolder(const std::string& folder, std::vector<SetFile>* files, std::string* error);

// True when `path` (which need not exist) would lie inside `folder` or one
// of its subfolders, however either is spelt: its parent folders are
// compared with `folder` by identity.
bool PathIsInside(const std::string& path, const std::string& folder);

}  // namespace packer
