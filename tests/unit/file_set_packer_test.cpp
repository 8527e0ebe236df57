// SPDX-License-Identifier: 0BSD
// stubpack's side of file sets: the writer's layout read back with the
// launcher's own table checks and block decoder, its refusals, the folder
// walk that follows no link, and extract's output folder that writes
// nowhere else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "extract/FileSetNames.h"
#include "extract/FileSetTable.h"
#include "extract/LzmaProperties.h"
#include "extract/NoRTLStream.h"
#include "extract/SetBlockDecoder.h"
#include "packer/FileSetWriter.h"
#include "packer/SetFolder.h"
#include "packer/SetFolderOutput.h"
#include "tests/unit/TestPackages.h"

namespace {

namespace fs = std::filesystem;
using packer::Bytes;

struct MemoryFile {
  std::u16string path;
  Bytes bytes;
};

// A set read from memory; `files` must outlive it.
packer::FileSet SetOf(const std::vector<MemoryFile>& files, const std::u16string& entry,
                      uint64_t blockSize) {
  packer::FileSet set;
  set.entry = entry;
  set.blockSize = blockSize;
  for (const MemoryFile& file : files) {
    packer::SetFile entry;
    entry.path = file.path;
    entry.size = file.bytes.size();
    entry.name = packer::Utf16ToUtf8(file.path);
    const Bytes* bytes = &file.bytes;
    entry.open = [bytes](std::string*) { return std::make_unique<packer::MemorySource>(*bytes); };
    set.files.push_back(entry);
  }
  return set;
}

std::string Build(const std::vector<MemoryFile>& files, const std::u16string& entry,
                  uint64_t blockSize, const packer::PackageOptions& options, Bytes* out) {
  packer::FileSet set = SetOf(files, entry, blockSize);
  packer::MemorySink sink;
  const std::string error =
      packer::BuildFileSetLauncher(testpkg::FakeStub(), set, options, sink);
  *out = sink.bytes;
  return error;
}

// A built file read back as the launcher reads it.
struct ReadBack {
  PackageLocator locator;
  PackageHeader header;
  std::vector<uint16_t> table;
  FileSetView view = {};
  SetTableCheck check;
  std::vector<std::u16string> paths;
  Bytes decoded;  // every block, in order
  std::vector<LzmaOutcome> outcomes;
};

void Append(void* context, const uint8_t* data, uint32_t count) {
  Bytes* out = (Bytes*)context;
  out->insert(out->end(), data, data + count);
}

void ReadBackFile(const Bytes& file, ReadBack* back) {
  back->locator = testpkg::LocatorOf(file);
  back->header = testpkg::HeaderOf(file);
  const PackageHeader& header = back->header;
  ASSERT_TRUE(SetTablePlaceIsSound(header, back->locator));
  back->table.resize((size_t)(header.setTableSize + 1) / 2);
  std::memcpy(back->table.data(), file.data() + header.setTableOffset, header.setTableSize);
  back->check = CheckSetTable((const uint8_t*)back->table.data(), (uint32_t)header.setTableSize,
                              header.setTableOffset, file.size(), &back->view);
  ASSERT_EQ(back->check.rule, SetTableRule::None) << (int)back->check.rule;
  SetPathCursor cursor(back->view);
  for (uint32_t i = 0; i < back->view.header->fileCount; ++i) {
    const WideChar* path;
    uint32_t length;
    cursor.Next(&path, &length);
    back->paths.emplace_back(path, length);
  }
  testpkg::InstallLauncher(file);
  PlatformHandle handle = PlatformOpenForReading(Fake().modulePath.c_str());
  LzmaProperties properties;
  ASSERT_TRUE(AcceptLzmaProperties(header.lzmaProperties, &properties));
  TStream* input = new TStream();
  TStream* output = new TStream();
  input->SetSize(4096);  // small pieces: many piece boundaries
  output->SetSize(4096);
  for (uint32_t i = 0; i < back->view.header->blockCount; ++i)
    back->outcomes.push_back(DecodeSetBlock(handle, back->view, properties, i, input, output,
                                            LzmaOutput{Append, &back->decoded}));
  delete input;
  delete output;
  PlatformCloseHandle(handle);
}

// The files' bytes in the table's order.
Bytes Concatenated(std::vector<MemoryFile> files) {
  std::sort(files.begin(), files.end(), [](const MemoryFile& a, const MemoryFile& b) {
    return CompareSetPaths(a.path.data(), (uint32_t)a.path.size(), b.path.data(),
                           (uint32_t)b.path.size()) < 0;
  });
  Bytes all;
  for (const MemoryFile& file : files) all.insert(all.end(), file.bytes.begin(), file.bytes.end());
  return all;
}

class FileSetWriter : public testpkg::LauncherTest {};

struct LayoutCase {
  const char* name;
  std::vector<MemoryFile> files;
  std::u16string entry;
  std::vector<uint64_t> blockSizes;
  std::vector<std::u16string> order;  // the table's
  size_t insideCrc, afterCrc;
  bool detached;
};

TEST_F(FileSetWriter, TablePassesTheLaunchersChecksAndBlocksDecodeToTheFiles) {
  const LayoutCase cases[] = {
      {"one file in one block", {{u"setup.exe", testpkg::SetupImage(3000, 1)}}, u"setup.exe",
       {4096, 1 << 20}, {u"setup.exe"}, 0, 0, false},
      {"files spanning blocks, empty files between and last",
       {{u"Data\\a.cab", testpkg::SetupImage(10000, 2)},
        {u"Data\\b.cab", {}},
        {u"Data\\sub\\c.bin", testpkg::SetupImage(9000, 3)},
        {u"product.msi", testpkg::SetupImage(3000, 4)},
        {u"z.txt", {}}},
       u"PRODUCT.MSI", {4096, 5000, 9999, 65536},
       {u"Data\\a.cab", u"Data\\b.cab", u"Data\\sub\\c.bin", u"product.msi", u"z.txt"}, 0, 0,
       false},
      {"an exact multiple of the block size",
       {{u"b.exe", testpkg::SetupImage(8192, 5)}, {u"a.bin", testpkg::SetupImage(4096, 6)}},
       u"b.exe", {4096}, {u"a.bin", u"b.exe"}, 0, 0, false},
      {"given out of order; the backslash sorts first",
       {{u"setup.exe", testpkg::SetupImage(700, 7)},
        {u"bin\\y.dll", testpkg::SetupImage(800, 8)},
        {u"bin.txt", testpkg::SetupImage(900, 9)},
        {u"\u00e9t\u00e9\\x", testpkg::SetupImage(100, 10)},
        {u"Bin2", testpkg::SetupImage(50, 11)}},
       u"setup.exe", {4096},
       {u"bin\\y.dll", u"bin.txt", u"Bin2", u"setup.exe", u"\u00e9t\u00e9\\x"}, 0, 0, false},
      {"extra bytes and detached", {{u"setup.exe", testpkg::SetupImage(20000, 12)}},
       u"setup.exe", {packer::kDefaultSetBlockSize}, {u"setup.exe"}, 333, 77, true},
  };
  for (const LayoutCase& c : cases) {
    for (uint64_t blockSize : c.blockSizes) {
      SCOPED_TRACE(std::string(c.name) + ", block size " + std::to_string(blockSize));
      packer::PackageOptions options;
      options.extraInsideCrc.assign(c.insideCrc, 0xA5);
      options.extraAfterCrc.assign(c.afterCrc, 0x5A);
      options.detached = c.detached;
      Bytes file;
      ASSERT_EQ(Build(c.files, c.entry, blockSize, options, &file), "");
      // Blocks compressed on three threads land where one thread puts them.
      options.threads = 3;
      Bytes again;
      ASSERT_EQ(Build(c.files, c.entry, blockSize, options, &again), "");
      EXPECT_EQ(file, again) << "the bytes depend on the thread count";

      ReadBack back;
      ReadBackFile(file, &back);
      if (HasFatalFailure()) return;
      const PackageLocator& l = back.locator;
      const PackageHeader& h = back.header;
      const FileSetTableHeader& t = *back.view.header;
      // The header marks the form and keeps old launchers out.
      EXPECT_EQ(h.packageForm, kFileSetForm);
      EXPECT_EQ(h.payloadOffset, 0u);
      EXPECT_EQ(h.payloadPackedSize, 0u);
      EXPECT_EQ(h.payloadSize, -1);
      EXPECT_EQ(h.setTableOffset, l.packageOffset + sizeof(PackageHeader));
      // Header, table, text and the inside extras make the CRC region;
      // the blocks follow it, one after the other, up to the extras after.
      const uint64_t crcEnd = l.packageOffset + l.crcLength;
      EXPECT_EQ(crcEnd, h.setTableOffset + h.setTableSize + 2 * options.unsupportedText.size() +
                            c.insideCrc);
      EXPECT_EQ(h.unsupportedText.textOffset, h.setTableOffset + h.setTableSize);
      uint64_t at = crcEnd;
      for (uint32_t i = 0; i < t.blockCount; ++i) {
        EXPECT_EQ(back.view.blocks[i].packedOffset, at) << "block " << i;
        at += back.view.blocks[i].packedSize;
      }
      EXPECT_EQ(t.packageEnd, at + c.afterCrc);
      EXPECT_EQ(file.size(), (t.packageEnd + 7) / 8 * 8);
      EXPECT_EQ((uint64_t)l.expectedFileSize, file.size());
      EXPECT_EQ(l.detachedFileSize, c.detached ? file.size() : 0u);
      for (uint64_t i = crcEnd - c.insideCrc; i < crcEnd; ++i) ASSERT_EQ(file[i], 0xA5);
      for (uint64_t i = at; i < file.size(); ++i) ASSERT_EQ(file[i], i < t.packageEnd ? 0x5A : 0);
      // Table order, entry, sizes, blocks.
      EXPECT_EQ(back.paths, c.order);
      EXPECT_EQ(CompareSetPaths(back.paths[t.entryIndex].data(),
                                (uint32_t)back.paths[t.entryIndex].size(), c.entry.data(),
                                (uint32_t)c.entry.size()),
                0);
      const Bytes all = Concatenated(c.files);
      EXPECT_EQ(t.totalSize, all.size());
      EXPECT_EQ(t.blockSize, blockSize);
      EXPECT_EQ(t.blockCount, (all.size() + blockSize - 1) / blockSize);
      EXPECT_EQ(back.outcomes, std::vector<LzmaOutcome>(t.blockCount, LzmaOutcome::Accepted));
      EXPECT_EQ(back.decoded, all);
      // One set of properties: lc 3, lp 0, pb 2, the preset's dictionary
      // shrunk to the longest block.
      uint32_t dictionary;
      std::memcpy(&dictionary, h.lzmaProperties + 1, 4);
      EXPECT_EQ(h.lzmaProperties[0], 0x5D);
      EXPECT_EQ(dictionary, std::max<uint64_t>(4096, std::min<uint64_t>(blockSize, all.size())));
    }
  }
}

TEST_F(FileSetWriter, ProgressCountsEveryFileOnce) {
  const std::vector<MemoryFile> files = {{u"a.bin", testpkg::SetupImage(3 << 20, 1)},
                                         {u"b.exe", testpkg::SetupImage(1 << 20, 2)}};
  packer::PackageOptions options;
  options.lzma.preset = 0;
  std::vector<uint64_t> seen;
  options.progress = [&](uint64_t done, uint64_t total) {
    EXPECT_EQ(total, 4u << 20);
    seen.push_back(done);
  };
  Bytes file;
  ASSERT_EQ(Build(files, u"b.exe", 1 << 20, options, &file), "");
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 4u << 20);
}

// A source whose bytes are not what the set said.
class ShortSource : public packer::ByteSource {
 public:
  explicit ShortSource(uint64_t size) : size_(size) {}
  uint64_t Size() const override { return size_; }
  bool Next(const uint8_t** data, size_t* size) override {
    *data = bytes_;
    *size = given_ ? 0 : 10;  // fewer bytes than the size said
    given_ = true;
    return true;
  }

 private:
  uint64_t size_;
  bool given_ = false;
  uint8_t bytes_[10] = {};
};

TEST_F(FileSetWriter, RefusesWhatTheLauncherWouldRefuseWithOneLine) {
  const Bytes some = testpkg::SetupImage(100, 1);
  struct Case {
    const char* name;
    std::vector<MemoryFile> files;
    std::u16string entry;
    uint64_t blockSize;
    const char* expected;
  };
  const Case cases[] = {
      {"no files", {}, u"setup.exe", 4096, "the set holds no files"},
      {"a colon", {{u"setup.exe", some}, {u"a:b", some}}, u"setup.exe", 4096,
       "a:b: a colon"},
      {"a device name", {{u"setup.exe", some}, {u"sub\\nul.txt", some}}, u"setup.exe", 4096,
       "sub\\nul.txt: a Windows device name"},
      {"a trailing dot", {{u"setup.exe", some}, {u"x.", some}}, u"setup.exe", 4096,
       "x.: a name ending in a dot or a space"},
      {"a dot dot", {{u"setup.exe", some}, {u"..\\x", some}}, u"setup.exe", 4096,
       "..\\x: a \".\" or \"..\" name"},
      {"an absolute path", {{u"setup.exe", some}, {u"\\x", some}}, u"setup.exe", 4096,
       "\\x: an absolute path"},
      {"a short-name alias", {{u"setup.exe", some}, {u"PROGRA~1\\x", some}}, u"setup.exe", 4096,
       "PROGRA~1\\x: the shape of an 8.3 short name"},
      {"an unpaired surrogate", {{u"setup.exe", some}, {u"a\xD800", some}}, u"setup.exe", 4096,
       "an unpaired surrogate"},
      {"too long", {{u"setup.exe", some}, {std::u16string(260, u'a'), some}}, u"setup.exe", 4096,
       "a path longer than 259 UTF-16 units"},
      {"two files one in case", {{u"setup.exe", some}, {u"SETUP.exe", some}}, u"setup.exe", 4096,
       "differ only in case"},
      {"a file that is a folder", {{u"setup.exe", some}, {u"BIN", some}, {u"bin\\x", some}},
       u"setup.exe", 4096, "bin\\x needs a folder where BIN is a file"},
      {"a folder spelt twice", {{u"setup.exe", some}, {u"Data\\a", some}, {u"data\\b", some}},
       u"setup.exe", 4096, "Data\\a and data\\b spell one folder in two ways"},
      {"no such entry", {{u"setup.exe", some}}, u"other.exe", 4096,
       "the entry other.exe is not a file of the set"},
      {"a text entry", {{u"setup.exe", some}, {u"read.me", some}}, u"read.me", 4096,
       "the entry read.me is neither an .exe nor an .msi"},
      {"an empty entry", {{u"setup.exe", {}}}, u"setup.exe", 4096,
       "the entry setup.exe is empty"},
      {"a small block", {{u"setup.exe", some}}, u"setup.exe", 4095, "out of range (4 KiB to 1 GiB)"},
      {"a large block", {{u"setup.exe", some}}, u"setup.exe", (1u << 30) + 1,
       "out of range (4 KiB to 1 GiB)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file;
    const std::string error = Build(c.files, c.entry, c.blockSize, {}, &file);
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_TRUE(file.empty()) << "wrote before it refused";
  }
}

TEST_F(FileSetWriter, RefusesLimitsBeforeReadingAByte) {
  struct Case {
    const char* name;
    size_t files;
    uint64_t fileSize;
    uint64_t blockSize;
    const char* expected;
  };
  const Case cases[] = {
      {"too many files", kMaxSetFiles + 1, 0, 4096, "at most 32768 fit"},
      {"too many blocks", 2, (uint64_t)kMaxSetBlocks * 4096 / 2 + 1, 4096,
       "give a larger block size"},
      {"a table over 4 MiB", 20000, 0, 4096, "the set table would be"},
      {"an .exe entry of 4 GiB", 1, 1ull << 32, 1 << 20,
       "Windows starts no .exe of 4 GiB or more"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    packer::FileSet set;
    set.blockSize = c.blockSize;
    set.entry = u"f0.exe";
    for (size_t i = 0; i < c.files; ++i) {
      packer::SetFile file;
      const std::string number = std::to_string(i);
      file.path = u"f" + std::u16string(number.begin(), number.end()) +
                  (c.files > 1000 ? u"-a-rather-long-name-for-a-file-of-a-large-set-" +
                                        std::u16string(60, u'x') + u".exe"
                                  : u".exe");
      file.size = c.fileSize;
      file.name = packer::Utf16ToUtf8(file.path);
      file.open = [](std::string* error) {
        *error = "opened";
        return nullptr;
      };
      set.files.push_back(file);
    }
    set.entry = set.files[0].path;
    packer::MemorySink sink;
    const std::string error =
        packer::BuildFileSetLauncher(testpkg::FakeStub(), set, {}, sink);
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    EXPECT_TRUE(sink.bytes.empty());
  }
}

// Where the launcher file may end is fixed through the room kept for a
// signature: so the 4 GiB check is met without writing 4 GiB.
TEST_F(FileSetWriter, StopsAsABlockWouldTakeTheFilePastItsLimit) {
  const std::vector<MemoryFile> files = {{u"setup.exe", testpkg::SetupImage(40000, 3)}};
  packer::PackageOptions options;
  Bytes unlimited;
  ASSERT_EQ(Build(files, u"setup.exe", 4096, options, &unlimited), "");
  struct Case {
    const char* name;
    uint64_t largest;  // the largest file the options allow
    bool fits;
  };
  const Case cases[] = {
      {"one byte short", unlimited.size() - 1, false},
      {"exactly its size", unlimited.size(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    options.signatureRoom = 0xFFFFFFFFull - c.largest;
    options.threads = 2;
    Bytes file;
    const std::string error = Build(files, u"setup.exe", 4096, options, &file);
    if (c.fits) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(file, unlimited);
      continue;
    }
    EXPECT_EQ(error, "the launcher file would reach 4 GiB less 1 MiB kept for its signature; "
                     "Windows loads no larger image: pack fewer or more compressible bytes");
  }
}

TEST_F(FileSetWriter, AFileThatIsNotWhatTheFolderSaidIsRefused) {
  const Bytes some = testpkg::SetupImage(5000, 1);
  for (const char* how : {"size", "short"}) {
    SCOPED_TRACE(how);
    std::vector<MemoryFile> files = {{u"a.bin", some}, {u"setup.exe", some}};
    packer::FileSet set = SetOf(files, u"setup.exe", 4096);
    if (std::string(how) == "size")
      set.files[0].size = 4000;  // the file grew since it was listed
    else
      set.files[0].open = [](std::string*) { return std::make_unique<ShortSource>(5000); };
    packer::MemorySink sink;
    const std::string error = packer::BuildFileSetLauncher(testpkg::FakeStub(), set, {}, sink);
    EXPECT_NE(error.find("a.bin changed since the folder was read"), std::string::npos)
        << error;
  }
}

// --- the folder a set is read from ------------------------------------------

class TempFolder {
 public:
  explicit TempFolder(const std::string& name)
      : path_(fs::temp_directory_path() / (name + "_" + std::to_string(getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempFolder() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  std::string Path() const { return path_.string(); }

 private:
  fs::path path_;
};

void WriteFile(const std::string& path, size_t size) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

TEST(SetFolderWalk, ReadsRegularFilesWithTheirSetPaths) {
  TempFolder root("set_walk");
  WriteFile(root / "setup.exe", 100);
  WriteFile(root / "data/sub/c.bin", 7);
  WriteFile(root / "data/empty.txt", 0);
  fs::create_directories(root / "nothing/inside");
  std::vector<packer::SetFile> files;
  std::string error;
  ASSERT_TRUE(packer::ReadSetFolder(root.Path(), &files, &error)) << error;
  std::vector<std::pair<std::u16string, uint64_t>> found;
  for (const packer::SetFile& file : files) found.push_back({file.path, file.size});
  std::sort(found.begin(), found.end());
  const std::vector<std::pair<std::u16string, uint64_t>> expected = {
      {u"data\\empty.txt", 0}, {u"data\\sub\\c.bin", 7}, {u"setup.exe", 100}};
  EXPECT_EQ(found, expected);
  // Read as found; once replaced, refused.
  const auto setup = std::find_if(files.begin(), files.end(),
                                  [](const packer::SetFile& f) { return f.size == 100; });
  EXPECT_NE(setup->open(&error), nullptr) << error;
  fs::remove(root / "setup.exe");
  WriteFile(root / "setup.exe", 100);
  EXPECT_EQ(setup->open(&error), nullptr);
  EXPECT_NE(error.find("setup.exe changed since the folder was read"), std::string::npos)
      << error;
}

TEST(SetFolderWalk, RefusesLinksSpecialFilesAndUnsayableNamesWithOneLine) {
  const struct {
    const char* name;
    std::function<void(const TempFolder&)> plant;
    const char* expected;
  } cases[] = {
      {"a link to a file",
       [](const TempFolder& f) { fs::create_symlink("/etc/hostname", f / "data/host"); },
       "/data/host: a symbolic link; the set holds only regular files and folders"},
      {"a link to a folder",
       [](const TempFolder& f) { fs::create_directory_symlink("/etc", f / "etc"); },
       "/etc: a symbolic link"},
      {"a dangling link", [](const TempFolder& f) { fs::create_symlink("nowhere", f / "x"); },
       "/x: a symbolic link"},
      {"a FIFO", [](const TempFolder& f) { mkfifo((f / "data/pipe").c_str(), 0600); },
       "/data/pipe: a FIFO (named pipe); the set holds only regular files and folders"},
      {"a socket",
       [](const TempFolder& f) {
         const int s = socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address = {};
         address.sun_family = AF_UNIX;
         std::strncpy(address.sun_path, (f / "sock").c_str(), sizeof address.sun_path - 1);
         bind(s, (sockaddr*)&address, sizeof address);
         close(s);
       },
       "/sock: a socket"},
      {"a backslash", [](const TempFolder& f) { WriteFile(f / "a\\b", 1); },
       "/a\\b: a backslash in a name"},
      {"not UTF-8", [](const TempFolder& f) { WriteFile(f / "\xff.txt", 1); },
       "/\\xFF.txt: the name is not UTF-8"},
      {"too deep",
       [](const TempFolder& f) {
         std::string deep = f.Path();
         for (int i = 0; i < 32; ++i) deep += "/d";
         fs::create_directories(deep);
       },
       "a set's paths have at most 32 names"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder root("set_walk_bad");
    WriteFile(root / "setup.exe", 10);
    WriteFile(root / "data/a.cab", 10);
    c.plant(root);
    std::vector<packer::SetFile> files;
    std::string error;
    EXPECT_FALSE(packer::ReadSetFolder(root.Path(), &files, &error));
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_TRUE(files.empty());
  }
}

TEST(SetFolderWalk, TheFolderItselfMayBeALinkAndOutputInsideIsSeen) {
  TempFolder root("set_walk_link");
  WriteFile(root / "real/setup.exe", 10);
  fs::create_directory_symlink(root / "real", root / "named");
  std::vector<packer::SetFile> files;
  std::string error;
  ASSERT_TRUE(packer::ReadSetFolder(root / "named", &files, &error)) << error;
  EXPECT_EQ(files.size(), 1u);
  EXPECT_TRUE(packer::PathIsInside(root / "named/out.exe", root / "real"));
  EXPECT_TRUE(packer::PathIsInside(root / "real/sub/../x/out.exe", root / "named"));
  EXPECT_FALSE(packer::PathIsInside(root / "out.exe", root / "real"));
  EXPECT_FALSE(packer::PathIsInside(root / "real-out.exe", root / "real"));
}

// --- extract's output folder --------------------------------------------------

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    names.push_back(entry.path().lexically_relative(folder).string());
  std::sort(names.begin(), names.end());
  return names;
}

// extract's output, each file created and then written whole.
struct SetWriter {
  packer::SetFolderOutput out;
  uint32_t created = 0;
  bool Write(const std::u16string& path, const std::string& bytes) {
    std::string problem;
    if (!out.Create(path, bytes.size())) return false;
    const uint8_t* data = (const uint8_t*)bytes.data();
    if (out.WriteAt(created++, 0, data, bytes.size(), &problem)) return true;
    out.error = problem;
    return false;
  }
};

TEST(SetFolderOutput, WritesInsideANewOrEmptyFolderOnlyAndCleansUp) {
  TempFolder root("set_out");
  WriteFile(root / "outside/keep.txt", 3);
  const struct {
    const char* name;
    std::function<void(const TempFolder&)> prepare;  // before Open
    std::function<bool(SetWriter&, const TempFolder&)> write;
    bool commit;
    const char* error;                     // of Open or of the writes
    std::vector<std::string> afterwards;   // in the output folder; none: absent
  } cases[] = {
      {"a missing folder is made and kept", [](const TempFolder&) {},
       [](SetWriter& o, const TempFolder&) {
         return o.Write(u"a\\x.txt", "x") && o.Write(u"a\\y", "") && o.Write(u"b.exe", "bb");
       },
       true, "", {"a", "a/x.txt", "a/y", "b.exe"}},
      {"a missing folder goes again on failure", [](const TempFolder&) {},
       [](SetWriter& o, const TempFolder&) {
         return o.Write(u"a\\b\\x.txt", "x") && o.Write(u"c.exe", "c") && false;
       },
       false, "", {}},
      {"a file short of its bytes is not kept", [](const TempFolder&) {},
       [](SetWriter& o, const TempFolder&) {
         std::string problem;
         return o.Write(u"a.exe", "ab") && o.out.Create(u"b.dll", 3) &&
                o.out.WriteAt(1, 1, (const uint8_t*)"yz", 2, &problem) && o.out.Commit();
       },
       false, "b.dll: it got 2 of its 3 bytes", {}},
      {"an empty folder stays, emptied", [](const TempFolder& f) { fs::create_directory(f / "out"); },
       [](SetWriter& o, const TempFolder&) {
         return o.Write(u"d\\x", "x") && false;
       },
       false, "", {"<empty>"}},
      {"a folder with a file is refused", [](const TempFolder& f) { WriteFile(f / "out/mine", 1); },
       nullptr, false, "is not empty", {"mine"}},
      {"a file is refused", [](const TempFolder& f) { WriteFile(f / "out", 1); }, nullptr, false,
       "is not a folder", {}},
      {"a path out of the folder is refused",
       [](const TempFolder&) {},
       [](SetWriter& o, const TempFolder&) { return o.Write(u"..\\outside\\x", "x"); },
       false, "breaks the path rules", {}},
      {"a folder swapped for a link is not followed",
       [](const TempFolder&) {},
       [](SetWriter& o, const TempFolder& f) {
         if (!o.Write(u"a\\x", "x")) return false;
         fs::rename(f / "out/a", f / "out/moved");
         fs::create_directory_symlink(f / "outside", f / "out/a");
         return o.Write(u"a\\y", "y") && o.Write(u"b\\z", "z");
       },
       true, "", {"a", "b", "b/z", "moved", "moved/x", "moved/y"}},
      {"a link planted where a folder goes is not followed",
       [](const TempFolder&) {},
       [](SetWriter& o, const TempFolder& f) {
         if (!o.Write(u"a.exe", "x")) return false;
         fs::create_directory_symlink(f / "outside", f / "out/b");
         return o.Write(u"b\\y", "y");
       },
       false, "cannot create the folder", {"b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root / "out");
    c.prepare(root);
    {
      SetWriter writer;
      packer::SetFolderOutput& out = writer.out;
      bool ok = out.Open(root / "out");
      if (ok && c.write) ok = c.write(writer, root);
      if (ok && c.commit) ok = out.Commit();
      EXPECT_EQ(ok, c.commit) << out.error;
      if (*c.error) {
        EXPECT_NE(out.error.find(c.error), std::string::npos) << out.error;
      }
    }  // not committed: everything made goes
    std::vector<std::string> expected = c.afterwards;
    if (expected == std::vector<std::string>{"<empty>"}) {
      EXPECT_TRUE(fs::is_directory(root / "out"));
      expected.clear();
    }
    if (std::string(c.name) != "a file is refused") {
      EXPECT_EQ(Listing(root / "out"), expected);
    }
    EXPECT_EQ(Listing(root / "outside"), std::vector<std::string>{"keep.txt"});
  }
}

// extract makes every file first, holds each open, and then the decoding
// threads write blocks at their offsets in whatever order they finish:
// more files than the soft limit on descriptors, pieces written backwards
// from two threads, must come out exact.
TEST(SetFolderOutput, ThreadsWritePiecesAtTheirOffsetsIntoManyOpenFiles) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < 1024)
    GTEST_SKIP() << "the hard limit on descriptors is below 1024";
  TempFolder root("set_out_threads");
  const uint32_t kFiles = 400, kPiece = 1000;
  std::vector<std::string> contents;
  for (uint32_t i = 0; i < kFiles; ++i) {
    std::string bytes((i * 37) % 5000, '\0');
    for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = (char)(i * 7 + j * 13);
    contents.push_back(bytes);
  }
  const auto name = [](uint32_t i) {
    return "d" + std::to_string(i / 100) + "/f" + std::to_string(1000 + i);
  };
  struct rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  {
    packer::SetFolderOutput out;
    ASSERT_TRUE(out.Open(root / "out")) << out.error;
    for (uint32_t i = 0; i < kFiles; ++i) {
      std::u16string path;
      ASSERT_TRUE(packer::Utf8ToUtf16(name(i), &path));
      std::replace(path.begin(), path.end(), u'/', u'\\');
      ASSERT_TRUE(out.Create(path, contents[i].size())) << out.error;
    }
    std::vector<bool> failed(2, false);
    const auto writeHalf = [&](uint32_t half) {
      std::string problem;
      for (uint32_t i = kFiles; i-- > 0;)
        for (size_t at = contents[i].size() / kPiece * kPiece + kPiece; at >= kPiece;) {
          at -= kPiece;
          if (at >= contents[i].size() || (at / kPiece + i) % 2 != half) continue;
          const size_t count = std::min<size_t>(kPiece, contents[i].size() - at);
          if (!out.WriteAt(i, at, (const uint8_t*)contents[i].data() + at, count, &problem))
            failed[half] = true;
        }
    };
    std::thread other(writeHalf, 1);
    writeHalf(0);
    other.join();
    EXPECT_EQ(failed, std::vector<bool>(2, false));
    EXPECT_TRUE(out.Commit()) << out.error;
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  for (uint32_t i = 0; i < kFiles; ++i) {
    std::ifstream file(root / ("out/" + name(i)), std::ios::binary);
    const std::string found((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    ASSERT_EQ(found, contents[i]) << name(i);
  }
}

}  // namespace
