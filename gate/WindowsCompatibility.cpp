// SPDX-License-Identifier: 0BSD
// Release identification and the compatibility decision.
//
// Up to Windows 8.1 the version numbers name the release. Windows 10 and 11
// share 10.0 and are told apart, and their feature releases named, from the
// CurrentVersion registry values. Whatever cannot be read lets the launcher
// go on: refusing a working system would be worse than trying.
#include "gate/WindowsCompatibility.h"

#include "core/FatalErrors.h"
#include "gate/RegistryReadings.h"

namespace {

const uint16_t kOpenEndedCode = 9999;

struct FeatureRelease {
  int32_t build;           // Windows 11: highest build; Windows 10: the build
  const WideChar* displayVersion;
  uint16_t code;
  const WideChar* name;
};

const FeatureRelease kWindows11Releases[] = {
    {22448, u"21H2", 2110, u"Windows 11 21H2 (Original Release)"},
    {22621, u"22H2", 2209, u"Windows 11 22H2 (2022 Update)"},
    {22631, u"23H2", 2310, u"Windows 11 23H2 (2023 Update)"},
    {26100, u"24H2", 2410, u"Windows 11 24H2 (2024 Update)"},
    {26200, u"25H2", 2510, u"Windows 11 25H2 (2025 Update)"},
};

const FeatureRelease kWindows10Builds[] = {
    {19042, nullptr, 2009, u"Windows 10 20H2 (October 2020 Update)"},
    {19043, nullptr, 2105, u"Windows 10 21H1 (May 2021 Update)"},
    {19044, nullptr, 2111, u"Windows 10 21H2 (November 2021 Update)"},
    {19045, nullptr, 2210, u"Windows 10 22H2 (2022 Update)"},
};

struct NamedReleaseId {
  int32_t releaseId;
  const WideChar* name;
};

const NamedReleaseId kWindows10ReleaseIds[] = {
    {1507, u"Windows 10 1507 (Original Release)"},
    {1511, u"Windows 10 1511 (November Update)"},
    {1607, u"Windows 10 1607 (Anniversary Update)"},
    {1703, u"Windows 10 1703 (Creators Update)"},
    {1709, u"Windows 10 1709 (Fall Creators Update)"},
    {1803, u"Windows 10 1803 (April 2018 Update)"},
    {1809, u"Windows 10 1809 (October 2018 Update)"},
    {1903, u"Windows 10 1903 (May 2019 Update)"},
    {1909, u"Windows 10 1909 (November 2019 Update)"},
    {2004, u"Windows 10 2004 (May 2020 Update)"},
};

const int32_t kFirstWindows11Build = 22000;
const int32_t kFirstWindows10BuildWithoutReleaseId = 19042;

// A composed version digit: 48 plus the number, kept to 16 bits.
WideChar VersionDigit(uint32_t number) { return (WideChar)(48 + number); }

ReleaseVerdict Supported() { return {true, WideText()}; }

ReleaseVerdict Refused(const WideText& name) { return {false, name}; }

ReleaseVerdict SupportedIf(bool condition, const WideText& name) {
  return condition ? Supported() : Refused(name);
}

bool InRange(uint16_t code, uint16_t low, uint16_t high) {
  return low <= code && code <= high;
}

WideText Composed(const WideChar* prefix, const WideText& suffix) {
  WideText name(prefix);
  name.Append(suffix);
  return name;
}

// The registry key and the one value buffer every query shares; the buffer
// is deliberately not cleared between queries.
class CurrentVersionKey {
 public:
  CurrentVersionKey() : key_(PlatformOpenCurrentVersionKey()) {}
  ~CurrentVersionKey() {
    if (key_) PlatformCloseKey(key_);
  }
  bool IsOpen() const { return key_ != nullptr; }

  bool Query(const WideChar* name) {
    byteCount_ = kRegistryBufferBytes;
    return PlatformQueryValue(key_, name, buffer_, &byteCount_);
  }
  int32_t Number() const { return ReadRegistryNumber(buffer_, byteCount_); }
  WideText Text() const { return ReadRegistryText(buffer_); }
  WideText TextOf(const WideChar* name) {
    return Query(name) ? Text() : WideText();
  }

 private:
  PlatformHandle key_;
  WideChar buffer_[kRegistryBufferBytes / 2] = {};
  uint32_t byteCount_ = 0;
};

ReleaseVerdict JudgeWindows11(CurrentVersionKey& key, int32_t build,
                              const PackageHeader& header) {
  if (!(header.supportFlags & kSupportsWindows11))
    return Refused(WideText(u"Windows 11"));
  WideText displayVersion = key.TextOf(u"DisplayVersion");
  for (const FeatureRelease& release : kWindows11Releases) {
    if (displayVersion.Equals(release.displayVersion) ||
        build <= release.build)
      return SupportedIf(InRange(release.code, header.win11MinCode,
                                 header.win11MaxCode),
                         WideText(release.name));
  }
  return SupportedIf(header.win11MaxCode >= kOpenEndedCode,
                     Composed(u"Windows 11 ", displayVersion));
}

ReleaseVerdict JudgeWindows10(CurrentVersionKey& key, int32_t build,
                              const PackageHeader& header) {
  if (!(header.supportFlags & kSupportsWindows10))
    return Refused(WideText(u"Windows 10"));

  if (build >= kFirstWindows10BuildWithoutReleaseId) {
    WideText displayVersion = key.TextOf(u"DisplayVersion");
    for (const FeatureRelease& release : kWindows10Builds) {
      if (build == release.build)
        return SupportedIf(InRange(release.code, header.win10MinCode,
                                   header.win10MaxCode),
                           WideText(release.name));
    }
    return SupportedIf(header.win10MaxCode >= kOpenEndedCode,
                       Composed(u"Windows 10 ", displayVersion));
  }

  if (!key.Query(u"ReleaseId")) return Supported();
  const int32_t releaseId = key.Number();
  if (InRange((uint16_t)releaseId, header.win10MinCode, header.win10MaxCode))
    return Supported();
  for (const NamedReleaseId& named : kWindows10ReleaseIds) {
    if (named.releaseId == releaseId) return Refused(WideText(named.name));
  }
  return Refused(Composed(u"Windows 10 ", key.Text()));
}

ReleaseVerdict JudgeWindows10Or11(const PackageHeader& header) {
  CurrentVersionKey key;
  if (!key.IsOpen()) return Supported();
  if (!key.Query(u"CurrentBuild")) return Supported();
  const int32_t build = key.Number();
  if (build >= kFirstWindows11Build) return JudgeWindows11(key, build, header);
  return JudgeWindows10(key, build, header);
}

ReleaseVerdict JudgeUnknownVersion(const WideText& name,
                                   const PackageHeader& header) {
  return SupportedIf((header.supportFlags & kSupportsUnknownVersions) != 0,
                     name);
}

ReleaseVerdict JudgeWindows6(uint32_t minor, const PackageHeader& header) {
  struct Windows6Release {
    uint64_t flag;
    const WideChar* name;
  };
  static const Windows6Release kReleases[] = {
      {kSupportsWindowsVista, u"Windows Vista"},
      {kSupportsWindows7, u"Windows 7"},
      {kSupportsWindows8, u"Windows 8"},
      {kSupportsWindows81, u"Windows 8.1"},
  };
  if (minor < 4)
    return SupportedIf((header.supportFlags & kReleases[minor].flag) != 0,
                       WideText(kReleases[minor].name));
  // 6.4 and later minor versions never shipped; they are always refused.
  WideText name(u"Windows 6.");
  name.Append(VersionDigit(minor));
  return Refused(name);
}

}  // namespace

ReleaseVerdict JudgeWindowsRelease(const OsVersion& version,
                                   const PackageHeader& header) {
  const uint32_t major = version.majorVersion;
  const uint32_t minor = version.minorVersion;
  if (major == 5)
    return SupportedIf((header.supportFlags & kSupportsWindowsXp) != 0,
                       WideText(u"Windows XP"));
  if (major == 6) return JudgeWindows6(minor, header);
  if (major == 10 || major == 11) {
    if (minor == 0) return JudgeWindows10Or11(header);
    WideText name(u"Windows 10.");
    name.Append(VersionDigit(minor));
    return JudgeUnknownVersion(name, header);
  }
  WideText name(u"Windows ");
  name.Append(VersionDigit(major / 10));
  name.Append(VersionDigit(major % 10));
  name.Append(u'.');
  name.Append(VersionDigit(minor));
  return JudgeUnknownVersion(name, header);
}

WindowsVersionRecord CheckWindowsCompatibility(PlatformHandle ownFile,
                                               const PackageHeader& header) {
  WindowsVersionRecord record = {};
  record.known = PlatformGetVersion(&record.version);
  if (!record.known) return record;
  ReleaseVerdict verdict = JudgeWindowsRelease(record.version, header);
  if (!verdict.supported)
    FatalPackageText(ownFile, header.unsupportedText, verdict.releaseName);
  return record;
}
