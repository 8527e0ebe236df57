// SPDX-License-Identifier: 0BSD
// The administrator test through CheckTokenMembership.
#include "handoff/Administrator.h"

#include "platform/Platform.h"

namespace {

// Found once and kept; a failed lookup is tried again on the next call.
void* gCheckTokenMembership = nullptr;

}  // namespace

bool IsUserAdministrator() {
  void* sid = PlatformAllocateAdministratorsSid();
  if (!sid) return false;
  if (!gCheckTokenMembership)
    gCheckTokenMembership = PlatformFindCheckTokenMembership();
  bool isMember = false;
  bool answered = gCheckTokenMembership &&
                  PlatformCallCheckTokenMembership(gCheckTokenMembership, sid,
                                                   &isMember);
  PlatformFreeSid(sid);
  return answered && isMember;
}

void ResetAdministratorTestForTesting() { gCheckTokenMembership = nullptr; }
