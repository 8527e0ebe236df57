// SPDX-License-Identifier: 0BSD
// The private folder: its name from the random source, its access, and its
// creation under a name nobody has taken.
#include "extract/PrivateFolder.h"

namespace {

const WideChar kPrefix[] = u"sl-";
const uint32_t kPrefixLength = sizeof(kPrefix) / sizeof(WideChar) - 1;
const WideChar kSuffix[] = u".tmp";
const uint32_t kRandomBytes = 8;  // 64 bits, two hex digits each
const uint32_t kDigitCount = 2 * kRandomBytes;

void WriteHexDigits(const uint8_t* random, WideChar* to) {
  static const char kHex[] = "0123456789abcdef";
  for (uint32_t i = 0; i < kRandomBytes; ++i) {
    to[2 * i] = (WideChar)kHex[random[i] >> 4];
    to[2 * i + 1] = (WideChar)kHex[random[i] & 15];
  }
}

}  // namespace

FolderAccess PrivateFolderAccess(bool elevated) {
  return {kFullControl, kFullControl,
          elevated ? kReadAndExecute : kFullControl};
}

CopyLocation PlanCopyLocation(const WideText& parent, const WideText& name) {
  CopyLocation location = {parent, WideText(), parent.Length() + kPrefixLength};
  location.folder.Append(kPrefix);
  for (uint32_t i = 0; i < kDigitCount; ++i) location.folder.Append(u'0');
  location.folder.Append(kSuffix);
  location.file = location.folder;
  location.file.Append(u'\\');
  location.file.Append(name);
  return location;
}

bool CreatePrivateFolder(CopyLocation* location, bool elevated) {
  const FolderAccess access = PrivateFolderAccess(elevated);
  for (int attempt = 0; attempt < kPrivateFolderAttempts; ++attempt) {
    uint8_t random[kRandomBytes];
    if (!PlatformGenerateRandom(random, kRandomBytes)) return false;
    WriteHexDigits(random,
                   location->folder.MutableData() + location->digitsOffset);
    WriteHexDigits(random, location->file.MutableData() + location->digitsOffset);
    if (PlatformCreatePrivateFolder(location->folder.Data(), access))
      return true;
    // Anything but a taken name (a folder that cannot be written, a path
    // too long) fails the same way under every name.
    if (!PlatformPathExists(location->folder.Data())) return false;
  }
  return false;
}
