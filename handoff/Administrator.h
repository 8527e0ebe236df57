// SPDX-License-Identifier: 0BSD
// Whether the launcher runs with the Administrators group in its token.
//
// It decides the start (an administrator's launcher starts the setup program
// directly) and how much the launcher's own user may do in the copy's
// private folder (less when elevated, so the user's unelevated programs
// cannot touch what an elevated setup program runs from).
#pragma once

// True only when CheckTokenMembership says the caller is in the built-in
// Administrators group; every failure answers false.
bool IsUserAdministrator();

// Forgets the cached CheckTokenMembership entry point (tests only).
void ResetAdministratorTestForTesting();
