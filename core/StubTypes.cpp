// SPDX-License-Identifier: 0BSD
// The two package records every step reads, in static storage for the whole
// process.
#include "core/StubTypes.h"

PackageLocator gPackageLocator;
PackageHeader gPackageHeader;
