// SPDX-License-Identifier: 0BSD
// verify's steps for a file set, after the gate: the set table as the
// launcher checks it before it creates anything, then every block decoded
// through the launcher's block decoder into the files it belongs to.
#pragma once

#include "packer/ByteSink.h"
#include "packer/VerifySteps.h"

namespace packer {

// The table, then every block (to `files` when given). The entry's
// signature, for a program, goes to `run.report`. False once a step fails.
bool VerifyFileSetContents(VerifyRun& run, SetSink* files);

// The lines of a file set that passed, once the rest of the file has.
void ReportFileSet(VerifyRun& run);

}  // namespace packer
