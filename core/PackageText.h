// SPDX-License-Identifier: 0BSD
// Filling the release name into a package-stored message.
#pragma once

#include "core/WideText.h"

// Replaces every "%USER%", then every "%user%", with `releaseName`. Each pass
// goes left to right and never searches text that it has just inserted; the
// second pass runs over the result of the first. An empty name leaves the
// text as it is.
void ReplaceReleasePlaceholders(WideText& text, const WideText& releaseName);
