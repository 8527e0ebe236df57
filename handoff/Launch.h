// SPDX-License-Identifier: 0BSD
// Starting the setup program, waiting for it and removing its copy.
#pragma once

#include "core/WideText.h"
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

// True only when CheckTokenMembership says the caller is in the built-in
// Administrators group; every failure answers false.
bool IsUserAdministrator();

// Forgets the cached CheckTokenMembership entry point (tests only).
void ResetAdministratorTestForTesting();

// Starts the temporary copy directly or through the shell; in attached mode
// waits for it and deletes the copy. Returns only after a successful start,
// with the launcher's exit code: in attached mode the setup program's own
// (ERROR_INSTALL_FAILURE when it cannot be read), in detached mode 0, which
// then means "started", not "installed".
uint32_t LaunchSetup(const WideText& temporaryCopy, const WideText& arguments,
                 const WindowsVersionRecord& version);
