// SPDX-License-Identifier: 0BSD
// Branding: from command-line options to resources, and back.
#include "packer/Branding.h"

#include <map>

#include "packer/ResourceSection.h"

namespace packer {
namespace {

const uint32_t kFileOsNtWindows32 = 0x00040004;  // VOS_NT_WINDOWS32
const uint32_t kFileTypeApp = 1;                 // VFT_APP

bool IsType(const Resource& r, uint16_t type) { return !r.type.named && r.type.id == type; }

}  // namespace

VersionInfo BrandedVersionInfo(const BrandingOptions& o) {
  VersionInfo info;
  VersionNumber one;
  one.parts[0] = 1;
  info.fileVersion = o.fileVersion ? *o.fileVersion : o.productVersion ? *o.productVersion : one;
  info.productVersion = o.productVersion ? *o.productVersion : info.fileVersion;
  info.fileOs = kFileOsNtWindows32;
  info.fileType = kFileTypeApp;
  auto text = [](const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); };
  VersionStringTable table;
  table.key = kNeutralUnicodeKey;
  auto add = [&table](const char16_t* key, const std::optional<std::u16string>& value) {
    if (value) table.strings.emplace_back(key, *value);
  };
  add(u"CompanyName", o.company);
  add(u"FileDescription", o.description ? *o.description
                          : o.product   ? *o.product + u" Setup"
                                        : std::u16string(u"Setup"));
  add(u"FileVersion", text(info.fileVersion.Text()));
  add(u"LegalCopyright", o.copyright);
  add(u"OriginalFilename", o.originalFilename ? *o.originalFilename : o.outputName);
  add(u"ProductName", o.product);
  add(u"ProductVersion", text(info.productVersion.Text()));
  info.tables.push_back(table);
  info.translations.push_back(kNeutralUnicodeTranslation);
  return info;
}

bool ApplyBranding(std::vector<uint8_t>& image, const BrandingOptions& options,
                   std::string* error) {
  if (!options.Any()) return true;
  std::vector<Resource> resources;
  std::string problem;
  if (!ReadResources(image, &resources, &problem)) {
    *error = "the stub's resources cannot be read: " + problem;
    return false;
  }
  std::vector<uint8_t> version;
  if (!EncodeVersionResource(BrandedVersionInfo(options), &version, error)) return false;

  // Replaced resources keep the name and language the stub gave them, so
  // the group Explorer takes (the first) is still the one it finds.
  auto keep = [&](uint16_t type, ResourceId* name, uint16_t* language) {
    for (const Resource& r : resources)
      if (IsType(r, type)) {
        *name = r.name;
        *language = r.language;
        return;
      }
    name->id = 1;
  };
  ResourceId groupName, versionName;
  uint16_t groupLanguage = 0, versionLanguage = 0, iconLanguage = 0;
  keep(kResourceGroupIcon, &groupName, &groupLanguage);
  keep(kResourceVersion, &versionName, &versionLanguage);
  ResourceId unusedName;
  keep(kResourceIcon, &unusedName, &iconLanguage);

  std::vector<Resource> out;
  for (Resource& r : resources) {
    if (IsType(r, kResourceVersion)) continue;
    if (options.icon && (IsType(r, kResourceIcon) || IsType(r, kResourceGroupIcon))) continue;
    out.push_back(std::move(r));
  }
  if (options.icon) {
    const std::vector<IconImage>& images = *options.icon;
    for (size_t i = 0; i < images.size(); ++i) {
      Resource icon;
      icon.type.id = kResourceIcon;
      icon.name.id = (uint16_t)(i + 1);
      icon.language = iconLanguage;
      icon.data = images[i].data;
      out.push_back(std::move(icon));
    }
    Resource group;
    group.type.id = kResourceGroupIcon;
    group.name = groupName;
    group.language = groupLanguage;
    group.data = MakeIconGroup(images, 1);
    out.push_back(std::move(group));
  }
  Resource versionResource;
  versionResource.type.id = kResourceVersion;
  versionResource.name = versionName;
  versionResource.language = versionLanguage;
  versionResource.data = version;
  out.push_back(std::move(versionResource));

  if (!ReplaceResources(image, out, &problem)) {
    *error = "cannot brand the stub: " + problem;
    return false;
  }
  return true;
}

BrandingInfo ReadBranding(const std::vector<uint8_t>& image) {
  BrandingInfo info;
  std::vector<Resource> resources;
  if (!ReadResources(image, &resources, &info.problem)) return info;
  info.readable = true;
  info.resourceCount = resources.size();
  // The first resource of each type, and each icon by its number: one pass,
  // however many entries a group lists.
  std::map<uint16_t, const Resource*> firstOfType, iconById;
  for (const Resource& r : resources) {
    if (r.type.named) continue;
    firstOfType.emplace(r.type.id, &r);
    if (r.type.id == kResourceIcon && !r.name.named) iconById.emplace(r.name.id, &r);
  }
  auto find = [&](uint16_t type) -> const Resource* {
    auto found = firstOfType.find(type);
    return found == firstOfType.end() ? nullptr : found->second;
  };
  info.hasManifest = find(kResourceManifest) != nullptr;
  if (const Resource* group = find(kResourceGroupIcon)) {
    info.hasIcon = true;
    std::vector<IconGroupEntry> entries;
    if (!ParseIconGroup(group->data.data(), group->data.size(), &entries, &info.problem))
      return info;
    std::map<uint16_t, IconSummary> described;  // each image is read once
    for (const IconGroupEntry& entry : entries) {
      auto icon = iconById.find(entry.id);
      if (icon == iconById.end() || entry.id == 0) {
        info.problem = "the icon group names icon " + std::to_string(entry.id) +
                       ", which is missing";
        return info;
      }
      auto summary = described.find(entry.id);
      if (summary == described.end()) {
        const std::vector<uint8_t>& data = icon->second->data;
        IconImage image;
        std::string problem;
        if (!DescribeIconImage(data.data(), data.size(), &image, &problem)) {
          info.problem = "icon " + std::to_string(entry.id) + " is " + problem;
          return info;
        }
        summary = described
                      .emplace(entry.id, IconSummary{image.width, image.height, image.bitCount,
                                                     (uint32_t)data.size(), image.png})
                      .first;
      }
      info.icons.push_back(summary->second);
    }
  }
  if (const Resource* version = find(kResourceVersion)) {
    info.hasVersion = true;
    if (!DecodeVersionResource(version->data.data(), version->data.size(), &info.version,
                               &info.problem))
      return info;
  }
  return info;
}

}  // namespace packer
