// SPDX-License-Identifier: 0BSD
// Starting the setup program, waiting for it and removing its copy.
#pragma once

#include "core/WideText.h"
#include "extract/TemporaryCopy.h"
#include "gate/WindowsCompatibility.h"

// Which start the launcher makes, and with what.
struct ShellStartChoice {
  const WideChar* verb;  // u"open" or u"runas"
  bool appendNoAdmin;    // append " /noadmin" to the parameters
};

// The elevation rule for the shell start.
ShellStartChoice ChooseShellStart(bool silentSwitchGiven, uint8_t adminMode);

// True when "/silent" or "/s" (any ASCII case) is one of the arguments.
bool HasSilentSwitch();

// Starts the temporary copy directly or through the shell, holding its lock
// until the start has returned; in attached mode waits for the setup
// program, then removes the copy and its folder. Returns only after a
// successful start, with the launcher's exit code: in attached mode the
// setup program's own (ERROR_INSTALL_FAILURE when it cannot be read), in
// detached mode 0, which then means "started", not "installed". After a
// failed start the copy stays where it is.
uint32_t LaunchSetup(const WrittenCopy& copy, const WideText& arguments,
                     const WindowsVersionRecord& version);
