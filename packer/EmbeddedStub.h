// SPDX-License-Identifier: 0BSD
// The launcher stub stubpack carries: the Stub64.exe of the same build,
// taken when `stubpack build` is given no --stub, written out by
// `stubpack stub`, and described by `stubpack --version`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

std::vector<uint8_t> EmbeddedStub();

// The liblzma release the stub was linked with, as recorded when it was
// built.
const char* EmbeddedStubLzmaVersion();

// The lines `stubpack --version` prints: stubpack's version, the stub's
// size and SHA-256, and the stub's liblzma release.
std::string VersionText();

}  // namespace packer
