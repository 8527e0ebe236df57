// stubpack: makes launcher files.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "packer/PackageWriter.h"

namespace {

bool ReadFile(const std::string& path, packer::Bytes* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

bool WriteFileAtomically(const std::string& path, const packer::Bytes& bytes) {
  std::string temporary = path + ".partial";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write((const char*)bytes.data(), (std::streamsize)bytes.size());
    if (!out) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "stubpack: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "build") != 0)
    return Fail("usage: stubpack build --stub STUB --setup SETUP --out OUT");
  std::string stubPath, setupPath, outPath;
  packer::PackageOptions options;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    bool ok = true;
    if (arg == "--stub") ok = value(&stubPath);
    else if (arg == "--setup") ok = value(&setupPath);
    else if (arg == "--out") ok = value(&outPath);
    else if (arg == "--detached") options.detached = true;
    else return Fail("unknown option " + arg);
    if (!ok) return Fail(arg + " needs a value");
  }
  packer::Bytes stub, setup;
  if (!ReadFile(stubPath, &stub)) return Fail("cannot read stub " + stubPath);
  if (!ReadFile(setupPath, &setup)) return Fail("cannot read setup program " + setupPath);
  packer::BuildResult result = packer::BuildLauncherFile(stub, setup, options);
  if (!result.ok) return Fail(result.error);
  if (!WriteFileAtomically(outPath, result.file)) return Fail("cannot write " + outPath);
  return 0;
}
