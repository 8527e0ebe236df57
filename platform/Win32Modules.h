// SPDX-License-Identifier: 0BSD
// System modules loaded at run time by their full path in the system folder.
//
// Only some launches need user32, shell32, mpr, gdi32 or comctl32 (a box,
// the shell start, a network path, the progress window), and loading them at
// every start costs time. mpr.dll and comctl32.dll are not modules Windows
// always takes from its system folder, so a copy planted beside the launcher
// (a Downloads folder) would be loaded by a plain import; a full path rules
// that out for all of them.
#pragma once

#include <windows.h>

// LoadLibraryExW of `fileName` (a short literal) in the system folder; null
// when the module cannot be had.
HMODULE LoadSystemModule(const WCHAR* fileName);

// One function of such a module; null when the module or the function is
// missing.
void* FindSystemFunction(const WCHAR* fileName, const char* function);

// Fills `table` with the functions named in `names` (one after another, each
// ending in NUL, `count` of them), in that order. False when the module or
// any one of them is missing; the table is then of no use.
bool FindSystemFunctions(const WCHAR* fileName, const char* names, void** table,
                         unsigned count);
