// SPDX-License-Identifier: 0BSD
// SHA-256 (FIPS 180-4), so stubpack can name the stub it carries by the
// same digest sha256sum prints for the build's Stub64.exe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace packer {

// The digest of `size` bytes at `data`, as 64 lowercase hex digits.
std::string Sha256Hex(const uint8_t* data, size_t size);

}  // namespace packer
