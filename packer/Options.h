// SPDX-License-Identifier: 0BSD
// Words of the command line and what they stand for in the package: release
// names, version code ranges, elevation modes, sizes. Every parser returns
// false with a one-line reason, naming the offending text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

// "xp", "vista", "7", "8", "8.1", "10", "11", "unknown", comma-separated
// (case-insensitive, spaces ignored) -> supportFlags bits.
bool ParseReleases(const std::string& text, uint64_t* flags,
                   std::string* error);
// The names of the release bits set in `flags`, in table order.
std::vector<std::string> ReleaseNames(uint64_t flags);
// Bits that no release name stands for.
uint64_t UnnamedSupportBits(uint64_t flags);

// "MIN-MAX", each 0-65535, MIN <= MAX.
bool ParseCodeRange(const std::string& text, uint16_t* min, uint16_t* max,
                    std::string* error);

// "runas" = 1, "noadmin" = 2, "none" = 0.
bool ParseAdminMode(const std::string& text, uint8_t* mode,
                    std::string* error);
// "runas", "noadmin", "none" or, for values the launcher treats like 0,
// "none (N)".
std::string AdminModeName(uint8_t mode);

// Decimal number within [min, max].
bool ParseNumber(const std::string& text, int64_t min, int64_t max,
                 int64_t* value, std::string* error);
// Bytes with an optional K, M or G suffix (KiB, MiB, GiB; "KiB", "MiB" and
// "GiB" also read).
bool ParseByteSize(const std::string& text, uint32_t* bytes,
                   std::string* error);
// The text of a UTF-8 text file: a byte-order mark and one final line break
// (LF or CRLF) are dropped. False for malformed UTF-8.
bool DecodeTextFile(const std::vector<uint8_t>& bytes, std::u16string* text,
                    std::string* error);
// A refusal text the launcher shows whole: not empty, no NUL (the message
// box ends there), at most 65535 UTF-16 units.
bool CheckRefusalText(const std::u16string& text, std::string* error);

// Exactly `count` bytes written as 2*count hex digits.
bool ParseHexBytes(const std::string& text, size_t count,
                   std::vector<uint8_t>* bytes, std::string* error);

}  // namespace packer
