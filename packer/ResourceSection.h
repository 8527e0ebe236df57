// SPDX-License-Identifier: 0BSD
// The stub's resource section (.rsrc): read into a flat list of resources,
// written back as a new section, and put into the image in place of the old
// one, moving the sections behind it (MinGW links .reloc there).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

// A resource type or name: a number, or a string.
struct ResourceId {
  bool named = false;
  uint16_t id = 0;
  std::u16string name;
  bool operator==(const ResourceId& other) const {
    return named == other.named && (named ? name == other.name : id == other.id);
  }
};

struct Resource {
  ResourceId type, name;
  uint16_t language = 0;
  uint32_t codePage = 0;
  std::vector<uint8_t> data;
};

const uint16_t kResourceIcon = 3;
const uint16_t kResourceGroupIcon = 14;
const uint16_t kResourceVersion = 16;
const uint16_t kResourceManifest = 24;

// The image's resources in section order, type by type. An image without a
// resource directory gives an empty list. False, with a reason, when the
// directory tree is not the usual three levels (type, name, language), or
// an offset or a size leaves the section.
bool ReadResources(const std::vector<uint8_t>& image,
                   std::vector<Resource>* resources, std::string* error);

// A resource section holding `resources` at virtual address `rva`: the
// directory tables, the data entries, the names, then each resource's data
// on an 8-byte boundary. Entries are ordered as the loader's binary search
// expects: names before numbers, both ascending.
std::vector<uint8_t> BuildResourceSection(const std::vector<Resource>& resources,
                                          uint32_t rva);

// Replaces the image's resource section by one holding `resources`. The
// sections behind it move up; only a base-relocation section may be there,
// since nothing else refers to it by address. SizeOfImage,
// SizeOfInitializedData and the resource and relocation directories follow;
// the PE header stays where it is. The caller updates the checksum.
bool ReplaceResources(std::vector<uint8_t>& image,
                      const std::vector<Resource>& resources, std::string* error);

}  // namespace packer
