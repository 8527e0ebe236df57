// SPDX-License-Identifier: 0BSD
// Starting the setup program, waiting for it and removing its copy.
#pragma once

#include "core/WideText.h"
#include "extract/ExtractedSetup.h"
#include "gate/WindowsCompatibility.h"

// Which start the launcher makes, and with what.
struct ShellStartChoice {
  const WideChar* verb;  // u"open" or u"runas"
  bool appendNoAdmin;    // append " /noadmin" to the parameters
};

// The elevation rule for the shell start.
ShellStartChoice ChooseShellStart(bool silentSwitchGiven, uint8_t adminMode);

// The argument string for what was extracted: BuildSetupArguments for a
// program, BuildInstallerArguments for an installer package.
WideText BuildArgumentsFor(const ExtractedSetup& setup);

// Starts the extracted program (or msiexec with the installer package)
// directly or through the shell, holding the locks until the start has
// returned; in attached mode waits for it, then removes what was written.
// Returns only after a successful start, with the launcher's exit code: in
// attached mode the started program's own (ERROR_INSTALL_FAILURE when it
// cannot be read), in detached mode 0, which then means "started", not
// "installed". After a failed start what was written stays where it is.
uint32_t LaunchSetup(const ExtractedSetup& setup, const WideText& arguments,
                     const WindowsVersionRecord& version);
