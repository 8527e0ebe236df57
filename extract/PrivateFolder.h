// SPDX-License-Identifier: 0BSD
// A folder of the launcher's own, made fresh for each run, that the
// temporary copy lives in.
//
// The temporary folder may be open to others: C:\Windows\Temp when the
// launcher runs as SYSTEM (every user may create files there), a /temp
// folder on a share, the launcher's own Downloads folder. A program started
// there loads a DLL or a .local redirection planted beside it. So the copy
// goes into a folder that did not exist before, named from the system's
// random source, whose DACL admits only SYSTEM, administrators and the
// launcher's own user and inherits nothing from the folder around it.
#pragma once

#include "core/WideText.h"
#include "platform/Platform.h"

// FILE_ALL_ACCESS, and FILE_GENERIC_READ | FILE_GENERIC_EXECUTE.
const uint32_t kFullControl = 0x001F01FF;
const uint32_t kReadAndExecute = 0x001200A9;

// Names tried before giving up. Each carries 64 random bits, so only a
// folder planted under that very name can take one.
const int kPrivateFolderAttempts = 8;

// Full control for SYSTEM and administrators. The launcher's own user gets
// full control too, except when the launcher runs elevated: then only read
// and execute, so the user's unelevated programs cannot change what an
// elevated setup program runs from.
FolderAccess PrivateFolderAccess(bool elevated);

// Where the copy goes: the private folder, and the copy's full path inside
// it. Both are allocated before anything is made on disk; from one attempt
// to the next only their random digits change.
struct CopyLocation {
  WideText folder;        // PARENT + "sl-" + 16 hex digits + ".tmp"
  WideText file;          // folder + "\" + the file name
  uint32_t digitsOffset;  // where the random digits start, in both
};

// `parent` is the chosen temporary folder, ending in a backslash.
CopyLocation PlanCopyLocation(const WideText& parent, const WideText& name);

// Creates the private folder under a fresh random name. A name that exists
// is never used, re-permissioned or entered: the next attempt draws a new
// one. False when the random source fails, when the folder cannot be made
// for any other reason, or when every attempt found its name taken.
bool CreatePrivateFolder(CopyLocation* location, bool elevated);
