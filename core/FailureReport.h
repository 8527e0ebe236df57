// SPDX-License-Identifier: 0BSD
// The one way the launcher shows an error box, and only where someone can
// see it.
//
// Deployment tools run installers as SYSTEM in session 0, whose window
// station is not visible. A modal box there can never be dismissed: the
// launcher would hang until the tool gives up, and the failure would be
// reported as a time-out instead of by its exit code.
#pragma once

#include "platform/Platform.h"

// An MB_ICONERROR box with no owner; blocks until dismissed. Nothing is
// shown when the process's window station is known to be invisible; a
// question that cannot be answered shows the box, as before.
void ShowErrorBox(const WideChar* text, const WideChar* caption);
