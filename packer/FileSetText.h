// SPDX-License-Identifier: 0BSD
// The words stubpack uses for what is wrong with a file set: a path that
// breaks one of the path rules (extract/FileSetNames.h), and a set table
// that breaks one of the table's rules (extract/FileSetTable.h). build,
// verify and inspect name faults with these, so one fault reads the same
// wherever it is found.
#pragma once

#include <string>

#include "extract/FileSetTable.h"

namespace packer {

// A short phrase for what is wrong with a path: "a colon (drive letters and
// alternate data streams)". For the rules between neighbours it says what
// the path is to the one before it.
std::string DescribeNameProblem(NameProblem problem);

// One phrase for a table's broken rule, naming the file or block concerned
// and, for a path, its problem: "file 3 (data\x): a colon (...)". `path`
// is the file's path as stubpack prints it, where it is known.
std::string DescribeSetTableCheck(const SetTableCheck& check, const std::string& path = "");

}  // namespace packer
