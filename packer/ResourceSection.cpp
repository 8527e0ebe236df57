// SPDX-License-Identifier: 0BSD
// Reading, building and replacing the resource section of a PE image.
#include "packer/ResourceSection.h"

#include <algorithm>
#include <map>
#include <unordered_set>

#include "packer/LittleEndian.h"

namespace packer {
namespace {

const uint32_t kResourceDirectory = 2;
const uint32_t kRelocationDirectory = 5;
const uint32_t kHighBit = 0x80000000u;
const uint32_t kSectionHeaderSize = 40;
const uint32_t kInitializedData = 0x40;

void Set32(std::vector<uint8_t>& b, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) b[at + i] = (uint8_t)(value >> (8 * i));
}
void Put32At(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = (uint8_t)(value >> (8 * i));
}
uint32_t AlignUp(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}
bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

struct Section {
  size_t header;  // file offset of its section-table entry
  uint32_t virtualSize, virtualAddress, rawSize, rawPointer, characteristics;
};

struct Headers {
  uint32_t optional;        // file offset of the optional header
  uint32_t directories;     // file offset of data directory 0
  uint32_t directoryCount;
  uint32_t sectionAlignment, fileAlignment;
  uint32_t symbolTable;
  std::vector<Section> sections;
};

bool ReadHeaders(const std::vector<uint8_t>& image, Headers* h, std::string* error) {
  if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z')
    return Fail(error, "not a PE image");
  const uint32_t pe = LoadLe32(image.data() + 60);
  if ((uint64_t)pe + 24 > image.size() || LoadLe32(image.data() + pe) != 0x4550)
    return Fail(error, "not a PE image");
  const uint32_t count = LoadLe16(image.data() + pe + 6);
  const uint32_t optionalSize = LoadLe16(image.data() + pe + 20);
  h->symbolTable = LoadLe32(image.data() + pe + 12);
  h->optional = pe + 24;
  const uint32_t magic = optionalSize >= 2 ? LoadLe16(image.data() + h->optional) : 0;
  const uint32_t directoriesAt = magic == 0x20B ? 112 : magic == 0x10B ? 96 : 0;
  const uint64_t sections = (uint64_t)h->optional + optionalSize;
  if (!directoriesAt || optionalSize < directoriesAt ||
      sections + (uint64_t)count * kSectionHeaderSize > image.size())
    return Fail(error, "not a PE image (headers cut short)");
  h->sectionAlignment = LoadLe32(image.data() + h->optional + 32);
  h->fileAlignment = LoadLe32(image.data() + h->optional + 36);
  h->directories = h->optional + directoriesAt;
  h->directoryCount = std::min(LoadLe32(image.data() + h->directories - 4),
                               (optionalSize - directoriesAt) / 8);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = (size_t)sections + i * kSectionHeaderSize;
    h->sections.push_back({at, LoadLe32(image.data() + at + 8), LoadLe32(image.data() + at + 12), LoadLe32(image.data() + at + 16),
                           LoadLe32(image.data() + at + 20), LoadLe32(image.data() + at + 36)});
  }
  return true;
}

uint32_t DirectoryRva(const std::vector<uint8_t>& image, const Headers& h, uint32_t index) {
  return index < h.directoryCount ? LoadLe32(image.data() + h.directories + 8 * index) : 0;
}
uint32_t DirectorySize(const std::vector<uint8_t>& image, const Headers& h, uint32_t index) {
  return index < h.directoryCount ? LoadLe32(image.data() + h.directories + 8 * index + 4) : 0;
}

// The section holding [rva, rva + size), or -1.
int SectionOf(const Headers& h, uint32_t rva, uint32_t size) {
  for (size_t i = 0; i < h.sections.size(); ++i) {
    const Section& s = h.sections[i];
    const uint64_t extent = std::max(s.virtualSize, s.rawSize);
    if (rva >= s.virtualAddress && (uint64_t)rva + size <= s.virtualAddress + extent)
      return (int)i;
  }
  return -1;
}

class TreeReader {
 public:
  TreeReader(const std::vector<uint8_t>& image, const Section& section)
      : image_(image), section_(section),
        size_(std::min<uint64_t>(std::min(section.virtualSize ? section.virtualSize
                                                              : section.rawSize,
                                          section.rawSize),
                                 image.size() - std::min<uint64_t>(section.rawPointer,
                                                                   image.size()))) {}

  bool Read(std::vector<Resource>* out, std::string* error) {
    return Directory(0, 0, Resource(), out, error);
  }

 private:
  bool Inside(uint64_t offset, uint64_t size) const { return offset + size <= size_; }
  size_t At(uint32_t offset) const { return section_.rawPointer + offset; }

  bool Id(uint32_t field, ResourceId* id, std::string* error) {
    *id = ResourceId();
    if (!(field & kHighBit)) {
      id->id = (uint16_t)field;
      return true;
    }
    const uint32_t offset = field & ~kHighBit;
    if (!Inside(offset, 2)) return Fail(error, "a resource name lies outside the section");
    const uint32_t length = LoadLe16(image_.data() + At(offset));
    if (!Inside(offset + 2, 2ull * length))
      return Fail(error, "a resource name lies outside the section");
    id->named = true;
    for (uint32_t i = 0; i < length; ++i)
      id->name += (char16_t)LoadLe16(image_.data() + At(offset + 2 + 2 * i));
    return true;
  }

  bool Directory(uint32_t offset, int level, Resource path, std::vector<Resource>* out,
                 std::string* error) {
    if (!Inside(offset, 16)) return Fail(error, "a resource directory lies outside the section");
    // A tree, not a graph: shared branches would multiply the work and the
    // resources (65535 entries to one branch, three levels deep).
    if (!visited_.insert(offset).second)
      return Fail(error, "a resource directory is reached twice; the tree loops or shares branches");
    const uint32_t count = LoadLe16(image_.data() + At(offset + 12)) + LoadLe16(image_.data() + At(offset + 14));
    if (!Inside(offset + 16, 8ull * count))
      return Fail(error, "a resource directory lies outside the section");
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t name = LoadLe32(image_.data() + At(offset + 16 + 8 * i));
      const uint32_t target = LoadLe32(image_.data() + At(offset + 20 + 8 * i));
      const bool isDirectory = (target & kHighBit) != 0;
      if (isDirectory != (level < 2))
        return Fail(error, "the resource tree is not three levels deep (type, name, language)");
      if (level == 0 && !Id(name, &path.type, error)) return false;
      if (level == 1 && !Id(name, &path.name, error)) return false;
      if (level == 2) {
        if (name & kHighBit) return Fail(error, "a resource language is a name");
        path.language = (uint16_t)name;
      }
      if (isDirectory) {
        if (!Directory(target & ~kHighBit, level + 1, path, out, error)) return false;
        continue;
      }
      if (!Inside(target, 16)) return Fail(error, "a resource data entry lies outside the section");
      const uint32_t rva = LoadLe32(image_.data() + At(target)), size = LoadLe32(image_.data() + At(target + 4));
      if (rva < section_.virtualAddress || !Inside(rva - section_.virtualAddress, size))
        return Fail(error, "a resource's data lies outside the section");
      // Data that several entries share would be copied for each.
      copied_ += size;
      if (copied_ > size_) return Fail(error, "the resources' data overlap one another");
      Resource resource = path;
      resource.codePage = LoadLe32(image_.data() + At(target + 8));
      const size_t data = At(rva - section_.virtualAddress);
      resource.data.assign(image_.begin() + data, image_.begin() + data + size);
      out->push_back(std::move(resource));
    }
    return true;
  }

  const std::vector<uint8_t>& image_;
  const Section& section_;
  uint64_t size_;
  std::unordered_set<uint32_t> visited_;
  uint64_t copied_ = 0;
};

bool IdLess(const ResourceId& a, const ResourceId& b) {
  if (a.named != b.named) return a.named;
  return a.named ? a.name < b.name : a.id < b.id;
}

// Where the resource section is, and that it can be rebuilt.
bool FindResourceSection(const std::vector<uint8_t>& image, const Headers& h, int* index,
                         std::string* error) {
  *index = -1;
  const uint32_t rva = DirectoryRva(image, h, kResourceDirectory);
  if (!rva) return true;
  const int found = SectionOf(h, rva, DirectorySize(image, h, kResourceDirectory));
  if (found < 0 || h.sections[found].virtualAddress != rva)
    return Fail(error, "the resource directory does not start a section");
  *index = found;
  return true;
}

}  // namespace

bool ReadResources(const std::vector<uint8_t>& image, std::vector<Resource>* resources,
                   std::string* error) {
  resources->clear();
  Headers h;
  int index;
  if (!ReadHeaders(image, &h, error) || !FindResourceSection(image, h, &index, error))
    return false;
  if (index < 0) return true;
  TreeReader reader(image, h.sections[index]);
  return reader.Read(resources, error);
}

std::vector<uint8_t> BuildResourceSection(const std::vector<Resource>& input, uint32_t rva) {
  // type -> name -> language -> resource index, in the loader's order.
  std::vector<const Resource*> sorted;
  for (const Resource& r : input) sorted.push_back(&r);
  std::stable_sort(sorted.begin(), sorted.end(), [](const Resource* a, const Resource* b) {
    if (!(a->type == b->type)) return IdLess(a->type, b->type);
    if (!(a->name == b->name)) return IdLess(a->name, b->name);
    return a->language < b->language;
  });

  struct Node {
    ResourceId id;
    std::vector<size_t> children;  // nodes at the next level, or resources
  };
  std::vector<Node> types, names;
  std::vector<size_t> languages;  // resource index per language entry
  std::vector<uint16_t> languageIds;
  for (size_t i = 0; i < sorted.size(); ++i) {
    const Resource& r = *sorted[i];
    if (types.empty() || !(types.back().id == r.type)) {
      types.push_back({r.type, {}});
    }
    Node& type = types.back();
    if (type.children.empty() || !(names[type.children.back()].id == r.name)) {
      names.push_back({r.name, {}});
      type.children.push_back(names.size() - 1);
    }
    names[type.children.back()].children.push_back(i);
  }

  // Layout: root, type tables, name tables, data entries, names, data.
  uint32_t offset = 16 + 8 * (uint32_t)types.size();
  std::vector<uint32_t> typeTable(types.size()), nameTable(names.size());
  for (size_t t = 0; t < types.size(); ++t) {
    typeTable[t] = offset;
    offset += 16 + 8 * (uint32_t)types[t].children.size();
  }
  for (size_t n = 0; n < names.size(); ++n) {
    nameTable[n] = offset;
    offset += 16 + 8 * (uint32_t)names[n].children.size();
  }
  const uint32_t dataEntries = offset;
  offset += 16 * (uint32_t)sorted.size();
  std::map<std::u16string, uint32_t> strings;
  auto addString = [&](const ResourceId& id) {
    if (id.named && !strings.count(id.name)) {
      strings[id.name] = offset;
      offset += 2 + 2 * (uint32_t)id.name.size();
    }
  };
  for (const Node& t : types) addString(t.id);
  for (const Node& n : names) addString(n.id);
  std::vector<uint32_t> dataAt(sorted.size());
  for (size_t i = 0; i < sorted.size(); ++i) {
    offset = AlignUp(offset, 8);
    dataAt[i] = offset;
    offset += (uint32_t)sorted[i]->data.size();
  }

  std::vector<uint8_t> out;
  out.reserve(offset);
  auto table = [&](const std::vector<ResourceId>& ids, const std::vector<uint32_t>& targets) {
    uint32_t named = 0;
    for (const ResourceId& id : ids) named += id.named;
    AppendLe32(out, 0);  // characteristics
    AppendLe32(out, 0);  // time stamp: none, so builds repeat
    AppendLe32(out, 0);  // version
    AppendLe16(out, named);
    AppendLe16(out, (uint32_t)ids.size() - named);
    for (size_t i = 0; i < ids.size(); ++i) {
      AppendLe32(out, ids[i].named ? kHighBit | strings[ids[i].name] : ids[i].id);
      AppendLe32(out, targets[i]);
    }
  };
  {
    std::vector<ResourceId> ids;
    std::vector<uint32_t> targets;
    for (size_t t = 0; t < types.size(); ++t) {
      ids.push_back(types[t].id);
      targets.push_back(kHighBit | typeTable[t]);
    }
    table(ids, targets);
  }
  for (const Node& t : types) {
    std::vector<ResourceId> ids;
    std::vector<uint32_t> targets;
    for (size_t n : t.children) {
      ids.push_back(names[n].id);
      targets.push_back(kHighBit | nameTable[n]);
    }
    table(ids, targets);
  }
  for (const Node& n : names) {
    std::vector<ResourceId> ids;
    std::vector<uint32_t> targets;
    for (size_t r : n.children) {
      ResourceId language;
      language.id = sorted[r]->language;
      ids.push_back(language);
      targets.push_back(dataEntries + 16 * (uint32_t)r);
    }
    table(ids, targets);
  }
  for (size_t i = 0; i < sorted.size(); ++i) {
    AppendLe32(out, rva + dataAt[i]);
    AppendLe32(out, (uint32_t)sorted[i]->data.size());
    AppendLe32(out, sorted[i]->codePage);
    AppendLe32(out, 0);
  }
  // Names in offset order (the map is ordered by text, offsets by first use).
  std::vector<std::pair<uint32_t, std::u16string>> byOffset;
  for (const auto& s : strings) byOffset.emplace_back(s.second, s.first);
  std::sort(byOffset.begin(), byOffset.end());
  for (const auto& s : byOffset) {
    AppendLe16(out, (uint32_t)s.second.size());
    for (char16_t unit : s.second) AppendLe16(out, unit);
  }
  for (size_t i = 0; i < sorted.size(); ++i) {
    out.resize(dataAt[i], 0);
    out.insert(out.end(), sorted[i]->data.begin(), sorted[i]->data.end());
  }
  return out;
}

bool ReplaceResources(std::vector<uint8_t>& image, const std::vector<Resource>& resources,
                      std::string* error) {
  Headers h;
  int index;
  if (!ReadHeaders(image, &h, error) || !FindResourceSection(image, h, &index, error))
    return false;
  if (index < 0) return Fail(error, "the stub has no resource section to brand");
  if (h.symbolTable)
    return Fail(error, "the stub carries a symbol table; brand a stripped stub");
  if (!h.fileAlignment || !h.sectionAlignment || h.fileAlignment > h.sectionAlignment)
    return Fail(error, "the stub's section alignment is implausible");

  // Sections behind the resource section, in address and file order; only
  // the base relocations may be among them.
  const Section rsrc = h.sections[index];
  const uint32_t relocRva = DirectoryRva(image, h, kRelocationDirectory);
  uint64_t imageEnd = 0;
  std::vector<size_t> behind;
  for (size_t i = 0; i < h.sections.size(); ++i) {
    const Section& s = h.sections[i];
    imageEnd = std::max<uint64_t>(imageEnd, s.rawSize ? (uint64_t)s.rawPointer + s.rawSize : 0);
    if (s.virtualAddress <= rsrc.virtualAddress) {
      if ((int)i != index && s.rawSize && s.rawPointer >= rsrc.rawPointer)
        return Fail(error, "the stub's sections are not in file order");
      continue;
    }
    if (s.virtualAddress != relocRva || i < (size_t)index)
      return Fail(error, "the stub has a section other than .reloc behind .rsrc; "
                         "it cannot grow its resources");
    behind.push_back(i);
  }
  if (imageEnd != image.size())
    return Fail(error, "the stub has " + std::to_string(image.size() - imageEnd) +
                           " bytes behind its last section; brand a plain stub");
  for (uint32_t d = 0; d < h.directoryCount; ++d) {
    const uint32_t rva = DirectoryRva(image, h, d);
    if (d == kResourceDirectory || d == kRelocationDirectory || d == 4 || !rva) continue;
    if (rva >= rsrc.virtualAddress)
      return Fail(error, "data directory " + std::to_string(d) +
                             " points into or behind the resource section");
  }
  // Relocations must not patch anything that moves.
  if (relocRva) {
    const uint32_t relocSize = DirectorySize(image, h, kRelocationDirectory);
    const int relocIndex = SectionOf(h, relocRva, relocSize);
    if (relocIndex < 0 || h.sections[relocIndex].virtualAddress != relocRva)
      return Fail(error, "the base relocation directory does not start a section");
    if (behind.empty())
      return Fail(error, "the stub's base relocations (.reloc) lie before its resources "
                         "(.rsrc); stubpack brands stubs whose .reloc follows .rsrc");
    const Section& reloc = h.sections[behind[0]];
    if (relocSize > reloc.rawSize)
      return Fail(error, "the base relocation directory runs past the raw data of its section");
    for (uint32_t at = 0; at + 8 <= relocSize;) {
      const uint32_t page = LoadLe32(image.data() + reloc.rawPointer + at);
      const uint32_t block = LoadLe32(image.data() + reloc.rawPointer + at + 4);
      if (block < 8) break;
      if (page >= rsrc.virtualAddress)
        return Fail(error, "a base relocation patches the resource section or behind it");
      at += block;
    }
  }

  std::vector<uint8_t> section = BuildResourceSection(resources, rsrc.virtualAddress);
  const uint32_t newVirtualSize = (uint32_t)section.size();
  const uint32_t newRawSize = AlignUp(newVirtualSize, h.fileAlignment);
  section.resize(newRawSize, 0);

  std::vector<uint8_t> out(image.begin(), image.begin() + rsrc.rawPointer);
  out.insert(out.end(), section.begin(), section.end());
  uint32_t nextRva = AlignUp(rsrc.virtualAddress + newVirtualSize, h.sectionAlignment);
  uint32_t lastEnd = rsrc.virtualAddress + newVirtualSize;
  Put32At(out, rsrc.header + 8, newVirtualSize);
  Put32At(out, rsrc.header + 16, newRawSize);
  for (size_t i : behind) {
    const Section& s = h.sections[i];
    const uint32_t newPointer = (uint32_t)out.size();
    out.insert(out.end(), image.begin() + s.rawPointer, image.begin() + s.rawPointer + s.rawSize);
    Put32At(out, s.header + 12, nextRva);
    Put32At(out, s.header + 20, s.rawSize ? newPointer : 0);
    if (s.virtualAddress == relocRva) Set32(out, h.directories + 8 * kRelocationDirectory, nextRva);
    lastEnd = nextRva + (s.virtualSize ? s.virtualSize : s.rawSize);
    nextRva = AlignUp(lastEnd, h.sectionAlignment);
  }
  Set32(out, h.directories + 8 * kResourceDirectory + 4, newVirtualSize);
  Set32(out, h.optional + 56, AlignUp(lastEnd, h.sectionAlignment));  // SizeOfImage
  if (rsrc.characteristics & kInitializedData)
    Set32(out, h.optional + 8, LoadLe32(out.data() + h.optional + 8) + newRawSize - rsrc.rawSize);
  image.swap(out);
  return true;
}

}  // namespace packer
