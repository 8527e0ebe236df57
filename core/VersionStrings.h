// SPDX-License-Identifier: 0BSD
// Reads one string of a version resource (VS_VERSIONINFO), such as the
// ProductName that branding gave the launcher, without version.dll.
#pragma once

#include <stdint.h>

#include "core/WideText.h"

// The value of the first string named `key` in any string table of the
// resource, without its terminator; empty when there is none or the
// resource is malformed.
WideText FindVersionString(const uint8_t* resource, uint32_t size,
                           const WideChar* key);
