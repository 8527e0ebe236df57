// SPDX-License-Identifier: 0BSD
// stubpack: builds, inspects, verifies and unpacks launcher files.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define StderrIsTerminal() (_isatty(_fileno(stderr)) != 0)
#else
#include <unistd.h>
#define StderrIsTerminal() (isatty(2) != 0)
#endif

#include "extract/FileSetNames.h"
#include "packer/BashCompletion.h"
#include "packer/EmbeddedStub.h"
#include "packer/FileIO.h"
#include "packer/OutputFile.h"
#include "packer/Options.h"
#include "packer/PackageReader.h"
#include "packer/PackageWriter.h"
#include "packer/SetFolder.h"
#include "packer/SetFolderOutput.h"
#include "packer/SetupFolder.h"
#include "packer/SetupSigning.h"
#include "packer/SignCommand.h"
#include "packer/Threads.h"
#include "packer/Verify.h"

namespace {

using packer::Bytes;

const uint64_t kBelow2GiB = 0x7FFFFFFF;
const uint64_t kProgressThreshold = 4u << 20;
const uint32_t kMaxThreads = 64;

struct OptionInfo {
  const char* name;
  const char* value;  // null for a switch
  const char* help;
};

struct Command {
  const char* name;
  const char* usage;
  const char* summary;
  std::vector<OptionInfo> options;
  size_t positionals;  // FILE arguments the command takes
};

const Command kBuild = {
    "build",
    "stubpack build (--setup SETUP | --setup-dir DIR --entry PATH) --out OUT [--stub STUB] [options]",
    "Appends a package holding SETUP (compressed with LZMA) to the launcher\n"
    "stub and writes the launcher file OUT. With --setup-dir it carries the\n"
    "folder DIR instead, a file set: every regular file under it (empty\n"
    "folders are left out), of which the launcher starts PATH (an .exe, or\n"
    "an .msi through msiexec). OUT appears only when it is complete; the\n"
    "same inputs and options always give the same bytes.\n"
    "Any of --icon, the version options or the texts gives the launcher a\n"
    "complete version resource in the neutral-language Unicode block; with\n"
    "none of them the stub's own resources stay as they are. An OUT that\n"
    "exists must be a regular file; a symbolic link there is replaced, not\n"
    "written through.",
    {
        {"--stub", "FILE",
         "the launcher stub (default: the Stub64.exe built into\n"
         "stubpack; see stubpack --version)"},
        {"--setup", "FILE",
         "the setup program to carry (under 4 GiB: Windows starts no larger\n"
         ".exe). One larger than the block size is cut into blocks, as a\n"
         "set of one file that the launcher names after itself (FILE's name\n"
         "must then end in .exe); one that fits a block is packed whole"},
        {"--setup-dir", "DIR",
         "a folder to carry instead, as a file set: its regular files and\n"
         "folders only (a link, device or FIFO anywhere below DIR is refused),\n"
         "at most 32768 files; OUT may not lie inside DIR"},
        {"--entry", "PATH",
         "with --setup-dir: the .exe or .msi the launcher starts, relative\n"
         "to DIR (/ or \\ between names). An .exe entry must be under 4 GiB;\n"
         "other files may be larger, as long as OUT stays under 4 GiB"},
        {"--block-size", "SIZE",
         "decoded bytes per compressed block, 4K to 1G, with K, M or G\n"
         "suffix (default 64M). With --setup, 0 packs the program whole\n"
         "whatever its size (then it must be under 2 GiB)"},
        {"--threads", "N",
         "threads that compress the blocks, 1-64 (default: the processors\n"
         "this process may use). The bytes written never depend on N.\n"
         "Memory: at most N + 1 blocks at a time, each with its compressed\n"
         "bytes, and one LZMA encoder per thread (liblzma: 93 MiB at preset\n"
         "6, 673 MiB at 9); with the defaults about N x 221 MiB + 128 MiB"},
        {"--no-progress", nullptr,
         "the launcher then never shows its progress window, however long\n"
         "unpacking takes"},
        {"--out", "FILE",
         "the launcher file to write; it must stay under 4 GiB (with\n"
         "--sign-command under 4 GiB less 1 MiB, room for the signature),\n"
         "else build stops with one line as soon as a block would pass that"},
        {"--releases", "LIST",
         "supported Windows releases, comma-separated, from xp, vista, 7, 8,\n"
         "8.1, 10, 11, unknown (default 7,8,8.1,10,11,unknown)"},
        {"--win10-range", "MIN-MAX",
         "supported Windows 10 version codes (default 1507-9999; a maximum\n"
         "of 9999 or more also admits releases the launcher does not know)"},
        {"--win11-range", "MIN-MAX", "the same for Windows 11 (default 2110-9999)"},
        {"--admin-mode", "MODE",
         "how a non-administrator starts the setup program: runas (ask for\n"
         "elevation), noadmin (pass /noadmin), none (default noadmin)"},
        {"--unsupported-text", "TEXT",
         "message for a refused release; %USER% becomes the release name"},
        {"--unsupported-text-file", "FILE",
         "the same, read from a UTF-8 file (a byte-order mark and one final\n"
         "line break are dropped)"},
        {"--detached", nullptr,
         "detached mode: the launcher does not wait for the setup program\n"
         "and leaves its temporary copy"},
        {"--preset", "0-9", "LZMA preset (default 6)"},
        {"--lc", "0-4", "LZMA literal context bits (default 3)"},
        {"--lp", "0-4", "LZMA literal position bits (default 0; lc + lp <= 4)"},
        {"--pb", "0-4", "LZMA position bits (default 2)"},
        {"--dict", "SIZE",
         "LZMA dictionary size, with K, M or G suffix (default: the preset's,\n"
         "but no larger than the setup program, or a file set's block)"},
        {"--extra-inside-crc", "FILE", "bytes appended after the text, covered by the CRC-32"},
        {"--extra-after-crc", "FILE", "bytes appended after those, not covered"},
        {"--precompressed-block", "FILE",
         "expert: store FILE as the compressed block as it is (no --setup)"},
        {"--lzma-props", "HEX10", "expert: the five property bytes for that block"},
        {"--payload-size", "N", "expert: the decoded size to record for that block"},
        {"--icon", "FILE.ico",
         "the launcher's icon: every image of the .ico (PNG ones included,\n"
         "at most 128) replaces the stub's icon group"},
        {"--file-version", "A.B.C.D",
         "version information, numbers and text (default: the product\n"
         "version, else 1.0.0.0)"},
        {"--product-version", "A.B.C.D", "the same (default: the file version)"},
        {"--company", "TEXT", "CompanyName (default: none)"},
        {"--product", "TEXT", "ProductName (default: none)"},
        {"--description", "TEXT",
         "FileDescription, shown by Explorer; an elevation prompt shows it\n"
         "only when it is for the launcher file itself, and the launcher\n"
         "runs as the invoker, so the prompt is for the setup program\n"
         "(default: \"PRODUCT Setup\", else \"Setup\")"},
        {"--copyright", "TEXT", "LegalCopyright (default: none)"},
        {"--original-filename", "TEXT", "OriginalFilename (default: OUT's file name)"},
        {"--sign-command", "CMD",
         "runs CMD last to sign the launcher file: {in} is the unsigned file,\n"
         "{out} where the signed one must go (on Windows {out} may be left\n"
         "out to sign {in} in place). The result must pass verify, with the\n"
         "signature behind the package and nothing after it. The paths reach\n"
         "CMD as \"$STUBPACK_IN\" and \"$STUBPACK_OUT\" (cmd.exe: \"%STUBPACK_IN%\"\n"
         "...), never as command text: write {in} and {out} bare, not in quotes"},
        {"--sign-timeout", "SECONDS",
         "ends the sign command, and all it started, after SECONDS\n"
         "(1-86400, default 600)"},
        {"--sign-setup", nullptr,
         "runs the sign command on a private copy of the setup program too,\n"
         "before it is compressed (the elevation prompt is for that\n"
         "program); SETUP itself is never changed. With --setup-dir: the\n"
         "entry, which must be an .exe (sign an .msi with its own tools)"},
        {"--resign-setup", nullptr,
         "with --sign-setup: replace a signature SETUP already carries\n"
         "(refused otherwise)"},
    },
    0};

const Command kInspect = {
    "inspect", "stubpack inspect FILE [--json]",
    "Shows every locator and header field of the launcher file FILE, decoded,\n"
    "its branding (icon images, version numbers, every version string), the\n"
    "signature block (certificate table) if the file is signed, and the\n"
    "setup program's own signature, for which it decodes the setup program\n"
    "as verify does. Of a file set it shows the set table's fields, the\n"
    "files (size, path), the entry and the blocks, and the entry's signature.",
    {{"--json", nullptr, "print one JSON object instead"}},
    1};

// verify's and extract's --threads.
const OptionInfo kThreadsOption = {
    "--threads", "N",
    "decode a file set's blocks on N threads, 1-64 (default: one per\n"
    "processor, never more than there are blocks). Each thread holds a\n"
    "decoder of its own: memory is about N x (dictionary + 2 MiB), and\n"
    "up to 16 MiB more to read an .exe entry's signature. The outcome is\n"
    "the same for every N"};

const Command kVerify = {
    "verify", "stubpack verify FILE [--threads N]",
    "Runs the launcher's own checks on FILE in the launcher's order (locator,\n"
    "file size, CRC-32, header, refusal text, full decoding of the setup\n"
    "program; for a file set its table and every block) and prints the\n"
    "outcome the launcher would reach. The running\n"
    "system's Windows release is not judged; the package's support data is\n"
    "shown instead. The resource section's structure is checked too, and\n"
    "the form of the signature block (certificate table) as Windows checks\n"
    "it, and the same for the setup program's own, with whether both have\n"
    "the same signer certificate; whether certificates are trusted is not\n"
    "judged. Exits with 1 when the launcher would stop with a message, the\n"
    "resources are damaged or a signature block is broken.",
    {kThreadsOption},
    1};

const Command kExtract = {
    "extract", "stubpack extract FILE --out SETUP|DIR [--threads N]",
    "Checks FILE like verify does and writes the decoded setup program to\n"
    "SETUP; a file set's files go into the folder DIR, which must be\n"
    "missing or empty (a setup program packed in blocks is a set of one\n"
    "file: it goes there under its own name), each block's bytes written at\n"
    "their place as it is decoded. On any failure nothing is left behind.",
    {{"--out", "FILE", "where to write the setup program, or the folder for a file set"},
     kThreadsOption},
    1};

const Command kStub = {
    "stub", "stubpack stub --out FILE",
    "Writes the launcher stub stubpack carries (the Stub64.exe of its own\n"
    "build) to FILE, to check or inspect it separately. build takes this\n"
    "stub when it is given no --stub.",
    {{"--out", "FILE", "where to write the stub"}},
    0};

const Command* const kCommands[] = {&kBuild, &kInspect, &kVerify, &kExtract,
                                    &kStub};

int Fail(const std::string& message) {
  std::fprintf(stderr, "stubpack: %s\n", message.c_str());
  return 1;
}

void PrintHelp(const Command& command) {
  std::printf("usage: %s\n\n%s\n", command.usage, command.summary);
  if (command.options.empty()) return;
  std::printf("\noptions:\n");
  for (const OptionInfo& option : command.options) {
    std::string head = std::string(option.name) +
                       (option.value ? std::string(" ") + option.value : "");
    std::string help = option.help;
    std::string indent(28, ' ');
    for (size_t at = 0; (at = help.find('\n', at)) != std::string::npos;
         at += 1 + indent.size())
      help.insert(at + 1, indent);
    if (head.size() < 26) std::printf("  %-26s%s\n", head.c_str(), help.c_str());
    else std::printf("  %s\n%s%s\n", head.c_str(), indent.c_str(), help.c_str());
  }
  std::printf("  %-26s%s\n", "--help", "show this text");
}

void PrintOverview() {
  std::printf(
      "usage: stubpack COMMAND [options]\n\n"
      "commands:\n"
      "  build    make a launcher file from a stub and a setup program or a folder\n"
      "  inspect  show the package fields of a launcher file\n"
      "  verify   run the launcher's checks on a launcher file\n"
      "  extract  write out the setup program or the files a launcher file carries\n"
      "  stub     write out the launcher stub stubpack carries\n\n"
      "\"stubpack COMMAND --help\" describes each command; \"stubpack --version\"\n"
      "shows the version and the stub built in; \"stubpack --bash-completion\"\n"
      "prints the bash completion script.\n");
}

int PrintBashCompletion() {
  std::vector<packer::CompletionCommand> commands;
  for (const Command* command : kCommands) {
    packer::CompletionCommand entry{command->name, {}, command->positionals > 0};
    for (const OptionInfo& option : command->options)
      entry.options.push_back({option.name, option.value ? option.value : ""});
    commands.push_back(entry);
  }
  std::fputs(packer::BashCompletionScript(commands).c_str(), stdout);
  return 0;
}

struct ParsedArgs {
  std::map<std::string, std::string> values;  // switches map to ""
  std::vector<std::string> positionals;
  bool help = false;
};

bool ParseArgs(const Command& command, const std::vector<std::string>& args,
               ParsedArgs* parsed, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--help" || arg == "-h") {
      parsed->help = true;
      continue;
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0 || arg == "--") {
      if (arg.size() > 1 && arg[0] == '-') {
        *error = "unknown option " + arg + " for " + command.name +
                 " (see stubpack " + command.name + " --help)";
        return false;
      }
      parsed->positionals.push_back(arg);
      continue;
    }
    std::string value;
    bool inlineValue = false;
    size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
      inlineValue = true;
    }
    const OptionInfo* known = nullptr;
    for (const OptionInfo& option : command.options)
      if (arg == option.name) known = &option;
    if (!known) {
      *error = "unknown option " + arg + " for " + command.name +
               " (see stubpack " + command.name + " --help)";
      return false;
    }
    if (parsed->values.count(arg)) {
      *error = arg + " is given more than once";
      return false;
    }
    if (!known->value) {
      if (inlineValue) {
        *error = arg + " takes no value";
        return false;
      }
    } else if (!inlineValue) {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value (" + known->value + ")";
        return false;
      }
      value = args[++i];
    }
    parsed->values[arg] = value;
  }
  if (parsed->help) return true;
  if (parsed->positionals.size() != command.positionals) {
    if (command.positionals == 0)
      *error = "unexpected argument " + parsed->positionals[0] + " for " +
               command.name + " (options start with --)";
    else if (parsed->positionals.empty())
      *error = std::string(command.name) + " needs a FILE (usage: " +
               command.usage + ")";
    else
      *error = std::string(command.name) + " takes one FILE, not " +
               std::to_string(parsed->positionals.size());
    return false;
  }
  return true;
}

// Reads an option's number, if given, into `into`.
bool NumberOption(const ParsedArgs& args, const char* name, int64_t min,
                  int64_t max, uint32_t* into, std::string* error) {
  auto found = args.values.find(name);
  if (found == args.values.end()) return true;
  int64_t value;
  if (!packer::ParseNumber(found->second, min, max, &value, error)) {
    *error = std::string(name) + ": " + *error;
    return false;
  }
  *into = (uint32_t)value;
  return true;
}

bool ReadTextFile(const std::string& path, std::u16string* text,
                  std::string* error) {
  Bytes bytes;
  if (!packer::ReadWholeFile(path, "text file", &bytes, error, 16u << 20,
                             "a refusal text can hold at most 65535 UTF-16 units"))
    return false;
  if (packer::DecodeTextFile(bytes, text, error)) return true;
  *error = "text file " + path + " " + *error;
  return false;
}

// The branding options; texts are checked against the version resource's
// 16-bit lengths here, before any large file is read.
bool ReadBrandingOptions(const ParsedArgs& args, packer::BrandingOptions* branding,
                         std::string* error) {
  auto found = [&](const char* name) -> const std::string* {
    auto it = args.values.find(name);
    return it == args.values.end() ? nullptr : &it->second;
  };
  if (const std::string* path = found("--icon")) {
    Bytes ico;
    std::vector<packer::IconImage> images;
    if (!packer::ReadWholeFile(*path, "icon file", &ico, error, 64u << 20,
                               "an icon file must be smaller than 64 MiB"))
      return false;
    if (!packer::ParseIconFile(ico, &images, error)) {
      *error = "--icon: " + *path + " " + *error;
      return false;
    }
    branding->icon = images;
  }
  for (const char* name : {"--file-version", "--product-version"}) {
    const std::string* text = found(name);
    if (!text) continue;
    packer::VersionNumber version;
    if (!packer::ParseVersionNumber(*text, &version, error)) {
      *error = std::string(name) + ": " + *error;
      return false;
    }
    (name[2] == 'f' ? branding->fileVersion : branding->productVersion) = version;
  }
  struct TextOption {
    const char* name;
    std::optional<std::u16string> packer::BrandingOptions::*field;
  };
  const TextOption kTexts[] = {
      {"--company", &packer::BrandingOptions::company},
      {"--product", &packer::BrandingOptions::product},
      {"--description", &packer::BrandingOptions::description},
      {"--copyright", &packer::BrandingOptions::copyright},
      {"--original-filename", &packer::BrandingOptions::originalFilename},
  };
  const char* longest = nullptr;
  size_t longestUnits = 0;
  for (const TextOption& option : kTexts) {
    const std::string* text = found(option.name);
    if (!text) continue;
    std::u16string wide;
    if (!packer::Utf8ToUtf16(*text, &wide)) {
      *error = std::string(option.name) + " is not valid UTF-8";
      return false;
    }
    if (wide.empty()) {
      *error = std::string(option.name) + " needs a text (leave the option out instead)";
      return false;
    }
    if (wide.size() > longestUnits) {
      longest = option.name;
      longestUnits = wide.size();
    }
    branding->*option.field = wide;
  }
  std::string out = args.values.at("--out");
  size_t slash = out.find_last_of("/\\");
  packer::Utf8ToUtf16(slash == std::string::npos ? out : out.substr(slash + 1),
                      &branding->outputName);
  Bytes encoded;
  if (branding->Any() &&
      !packer::EncodeVersionResource(packer::BrandedVersionInfo(*branding), &encoded, error)) {
    *error = std::string(longest ? longest : "--out") + ": the text is " +
             std::to_string(longestUnits) +
             " UTF-16 units; the version resource holds at most 65535 bytes, "
             "all its texts together";
    return false;
  }
  return true;
}

// "stubpack: compressing  42% (...)" on one line that rewrites itself.
class ProgressDisplay {
 public:
  ProgressDisplay(bool enabled, const char* doing) : enabled_(enabled), doing_(doing) {}
  void Update(uint64_t done, uint64_t total) {
    if (!enabled_ || total == 0) return;
    int percent = (int)(done * 100 / total);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    std::fprintf(stderr, "\rstubpack: %s %3d%% (%.1f of %.1f MiB)", doing_, percent,
                 done / 1048576.0, total / 1048576.0);
    std::fflush(stderr);
  }
  void Finish() {
    if (enabled_ && lastPercent_ >= 0) std::fprintf(stderr, "\n");
  }

 private:
  bool enabled_;
  const char* doing_;
  int lastPercent_ = -1;
};

bool Has(const ParsedArgs& args, const char* name) { return args.values.count(name) != 0; }
const std::string& Get(const ParsedArgs& args, const char* name) { return args.values.at(name); }

bool Refuse(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

// What build works from, gathered step by step before anything is written.
struct BuildJob {
  packer::PackageOptions options;
  Bytes stub;
  packer::SetupProgram setupProgram;  // the vendor's file or its signed copy
  std::unique_ptr<packer::ByteSource> setup;
  std::optional<packer::SetupFolder> folder;  // --setup-dir: a file set instead
  std::optional<packer::FileSet> programSet;  // --setup larger than a block
  uint64_t blockSize = packer::kDefaultSetBlockSize;  // 0: --setup packed whole
  std::string signCommand;  // empty: no signing
  uint32_t signTimeout = packer::kDefaultSignTimeout;
};

// The options that must or must not come together.
bool CheckBuildArguments(const ParsedArgs& args, std::string* error) {
  const bool precompressed = Has(args, "--precompressed-block");
  const bool fileSet = Has(args, "--setup-dir");
  if (!Has(args, "--out")) return Refuse(error, "build needs --out FILE");
  if (fileSet && Has(args, "--setup"))
    return Refuse(error, "--setup and --setup-dir exclude each other");
  if (fileSet && precompressed)
    return Refuse(error, "--precompressed-block carries one program; it excludes --setup-dir");
  if (fileSet && !Has(args, "--entry"))
    return Refuse(error, "--setup-dir needs --entry PATH, the .exe or .msi the launcher starts");
  if (!fileSet && Has(args, "--entry")) return Refuse(error, "--entry needs --setup-dir");
  for (const char* blockOption : {"--block-size", "--threads"})
    if (precompressed && Has(args, blockOption))
      return Refuse(error, std::string(blockOption) + " needs --setup or --setup-dir");
  if (!precompressed && !fileSet && !Has(args, "--setup"))
    return Refuse(error, "build needs --setup FILE, --setup-dir DIR (or --precompressed-block)");
  if (precompressed) {
    if (Has(args, "--setup"))
      return Refuse(error, "--setup and --precompressed-block exclude each other");
    for (const char* lzma : {"--preset", "--lc", "--lp", "--pb", "--dict"})
      if (Has(args, lzma))
        return Refuse(error, std::string(lzma) +
                                 " has no effect with --precompressed-block; use --lzma-props");
    if (!Has(args, "--lzma-props") || !Has(args, "--payload-size"))
      return Refuse(error, "--precompressed-block needs --lzma-props and --payload-size");
  } else {
    for (const char* expert : {"--lzma-props", "--payload-size"})
      if (Has(args, expert)) return Refuse(error, std::string(expert) + " needs --precompressed-block");
  }
  if (Has(args, "--unsupported-text") && Has(args, "--unsupported-text-file"))
    return Refuse(error, "--unsupported-text and --unsupported-text-file exclude each other");
  return true;
}

// The header's fields and the LZMA settings.
bool ReadPackageOptions(const ParsedArgs& args, packer::PackageOptions* options,
                        std::string* error) {
  const auto refuse = [error](const std::string& prefix) {
    *error = prefix + *error;
    return false;
  };
  if (Has(args, "--releases") &&
      !packer::ParseReleases(Get(args, "--releases"), &options->supportFlags, error))
    return refuse("--releases: ");
  if (Has(args, "--win10-range") &&
      !packer::ParseCodeRange(Get(args, "--win10-range"), &options->win10MinCode,
                              &options->win10MaxCode, error))
    return refuse("--win10-range: ");
  if (Has(args, "--win11-range") &&
      !packer::ParseCodeRange(Get(args, "--win11-range"), &options->win11MinCode,
                              &options->win11MaxCode, error))
    return refuse("--win11-range: ");
  if (Has(args, "--admin-mode") &&
      !packer::ParseAdminMode(Get(args, "--admin-mode"), &options->adminMode, error))
    return refuse("--admin-mode: ");
  if (Has(args, "--unsupported-text") &&
      !packer::Utf8ToUtf16(Get(args, "--unsupported-text"), &options->unsupportedText))
    return Refuse(error, "--unsupported-text is not valid UTF-8");
  if (Has(args, "--unsupported-text-file") &&
      !ReadTextFile(Get(args, "--unsupported-text-file"), &options->unsupportedText, error))
    return false;
  if ((Has(args, "--unsupported-text") || Has(args, "--unsupported-text-file")) &&
      !packer::CheckRefusalText(options->unsupportedText, error))
    return false;
  options->detached = Has(args, "--detached");
  if (Has(args, "--no-progress")) options->launchFlags = kLaunchWithoutProgressWindow;
  options->threads = std::min<uint32_t>(packer::ProcessorCount(), kMaxThreads);
  if (!NumberOption(args, "--threads", 1, kMaxThreads, &options->threads, error)) return false;
  packer::LzmaSettings& lzma = options->lzma;
  if (!NumberOption(args, "--preset", 0, 9, &lzma.preset, error) ||
      !NumberOption(args, "--lc", 0, 4, &lzma.lc, error) ||
      !NumberOption(args, "--lp", 0, 4, &lzma.lp, error) ||
      !NumberOption(args, "--pb", 0, 4, &lzma.pb, error))
    return false;
  if (Has(args, "--dict") && !packer::ParseByteSize(Get(args, "--dict"), &lzma.dictionarySize, error))
    return refuse("--dict: ");
  if (Has(args, "--dict") && lzma.dictionarySize == 0)
    return Refuse(error, "--dict: the dictionary size must be at least 4 KiB");
  *error = packer::CheckLzmaSettings(lzma);
  return error->empty();
}

// OUT may replace neither an input nor anything but a regular file.
bool CheckOutputPath(const ParsedArgs& args, std::string* error) {
  std::vector<packer::NamedInput> inputs;
  for (const char* input : {"--stub", "--setup", "--unsupported-text-file",
                            "--extra-inside-crc", "--extra-after-crc",
                            "--precompressed-block", "--icon"})
    if (Has(args, input)) inputs.push_back({input, Get(args, input)});
  *error = packer::RefuseOutputOverInput(Get(args, "--out"), inputs);
  if (error->empty()) *error = packer::RefuseSpecialOutput(Get(args, "--out"));
  // OUT's temporary, and a signed copy's folder, would become part of the set.
  if (error->empty() && Has(args, "--setup-dir") &&
      packer::PathIsInside(Get(args, "--out"), Get(args, "--setup-dir")))
    *error = "the output " + Get(args, "--out") + " lies inside --setup-dir " +
             Get(args, "--setup-dir") + "; write it outside the folder it packs";
  return error->empty();
}

bool ReadSignOptions(const ParsedArgs& args, BuildJob* job, std::string* error) {
  if (Has(args, "--sign-command") && !packer::CheckSignCommand(Get(args, "--sign-command"), error))
    return Refuse(error, "--sign-command: " + *error);
  if (Has(args, "--sign-timeout") && !Has(args, "--sign-command"))
    return Refuse(error, "--sign-timeout needs --sign-command");
  if (!NumberOption(args, "--sign-timeout", 1, 86400, &job->signTimeout, error)) return false;
  if (Has(args, "--sign-setup") && !Has(args, "--sign-command"))
    return Refuse(error, "--sign-setup needs --sign-command");
  if (Has(args, "--sign-setup") && Has(args, "--precompressed-block"))
    return Refuse(error, "--sign-setup needs --setup, not --precompressed-block");
  if (Has(args, "--resign-setup") && !Has(args, "--sign-setup"))
    return Refuse(error, "--resign-setup needs --sign-setup");
  if (Has(args, "--sign-command")) job->signCommand = Get(args, "--sign-command");
  if (Has(args, "--sign-command")) job->options.signatureRoom = packer::kSignatureRoom;
  return true;
}

// Checked before the setup program is opened: it may be large.
bool ReadStub(const ParsedArgs& args, Bytes* stub, std::string* error) {
  if (!Has(args, "--stub"))
    *stub = packer::EmbeddedStub();
  else if (!packer::ReadWholeFile(Get(args, "--stub"), "stub", stub, error, kBelow2GiB,
                                  "a stub must be smaller than 2 GiB"))
    return false;
  *error = packer::CheckStub(*stub);
  if (error->empty()) return true;
  return Refuse(error, (Has(args, "--stub") ? Get(args, "--stub") : "the embedded stub") + ": " +
                           *error);
}

// The block as given, in memory; no setup program is read.
bool ReadPrecompressedBlock(const ParsedArgs& args, BuildJob* job, std::string* error) {
  static const Bytes kNoSetup;
  packer::PrecompressedPayload payload;
  Bytes props;
  int64_t size;
  if (!packer::ParseHexBytes(Get(args, "--lzma-props"), 5, &props, error))
    return Refuse(error, "--lzma-props: " + *error);
  if (!packer::ParseNumber(Get(args, "--payload-size"), INT32_MIN, INT32_MAX, &size, error))
    return Refuse(error, "--payload-size: " + *error);
  if (!packer::ReadWholeFile(Get(args, "--precompressed-block"), "compressed block",
                             &payload.block, error, kBelow2GiB, "it must be smaller than 2 GiB"))
    return false;
  std::memcpy(payload.properties, props.data(), 5);
  payload.payloadSize = (int32_t)size;
  job->options.precompressed = payload;
  job->setup = std::make_unique<packer::MemorySource>(kNoSetup);
  return true;
}

// --block-size, checked before any input is read.
bool ReadBlockSize(const ParsedArgs& args, BuildJob* job, std::string* error) {
  if (!Has(args, "--block-size")) return true;
  uint32_t size = 0;
  if (!packer::ParseByteSize(Get(args, "--block-size"), &size, error))
    return Refuse(error, "--block-size: " + *error);
  const bool whole = size == 0 && Has(args, "--setup");
  if (!whole && (size < kMinSetBlockSize || size > kMaxSetBlockSize))
    return Refuse(error, "--block-size: " + std::to_string(size) + " is out of range (4 KiB to 1 GiB" +
                             (Has(args, "--setup") ? ", or 0: the program whole)" : ")"));
  job->blockSize = size;
  return true;
}

// The last name of `path`, for a program packed in blocks.
std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A program larger than a block becomes a set of one file, read from the
// file build compresses (the signed copy with --sign-setup).
bool PlanProgramInBlocks(const ParsedArgs& args, BuildJob* job, std::string* error) {
  const std::string& given = Get(args, "--setup");
  packer::SetFile program;
  program.name = "setup program " + given;
  program.size = job->setup->Size();
  if (!packer::Utf8ToUtf16(BaseName(given), &program.path))
    return Refuse(error, program.name + ": its name is not valid UTF-8");
  if (EntryKindOf(program.path.data(), (uint32_t)program.path.size()) != EntryKind::Program)
    return Refuse(error, program.name + " is larger than the block size (" +
                             std::to_string(job->blockSize) +
                             " bytes), so it is packed in blocks, whose program must be named "
                             "*.exe: rename it, or give --block-size 0");
  const std::string path = job->setupProgram.Path();
  program.open = [path](std::string* problem) -> std::unique_ptr<packer::ByteSource> {
    auto source = std::make_unique<packer::FileSource>();
    if (source->Open(path, "setup program")) return source;
    *problem = source->error;
    return nullptr;
  };
  job->programSet = packer::ProgramInBlocks(program, job->blockSize);
  *error = packer::PlanFileSet(&*job->programSet);
  return error->empty();
}

// The setup program, or with --sign-setup its signed private copy, is only
// opened here: it is read while it is compressed. Its size limits are
// judged on the vendor's file first, before a copy is signed.
bool OpenSetupProgram(const ParsedArgs& args, BuildJob* job, std::string* error) {
  const bool whole = job->blockSize == 0;
  const uint64_t limit = whole ? kBelow2GiB : packer::kMaxProgramSize;
  const std::string reason =
      whole ? "packed whole (--block-size 0), a setup program must be smaller than 2 GiB"
            : "Windows starts no .exe of 4 GiB or more (\"not a valid Win32 application\")";
  packer::FileSource probe;
  if (!probe.Open(Get(args, "--setup"), "setup program", limit, reason))
    return Refuse(error, probe.error);
  if (!packer::PrepareSetupProgram({Get(args, "--setup"), Get(args, "--out"), job->signCommand,
                                    job->signTimeout, Has(args, "--sign-setup"),
                                    Has(args, "--resign-setup")},
                                   &job->setupProgram, error))
    return false;
  auto file = std::make_unique<packer::FileSource>();
  if (!file->Open(job->setupProgram.Path(), "setup program", limit, reason))
    return Refuse(error, file->error);
  if (file->Size() == 0) return Refuse(error, "setup program " + Get(args, "--setup") + " is empty");
  job->setup = std::move(file);
  if (whole || job->setup->Size() <= job->blockSize) return true;
  return PlanProgramInBlocks(args, job, error);
}

bool ReadExtraBytes(const ParsedArgs& args, packer::PackageOptions* options, std::string* error) {
  for (const char* extra : {"--extra-inside-crc", "--extra-after-crc"}) {
    if (!Has(args, extra)) continue;
    Bytes& into = std::strcmp(extra, "--extra-inside-crc") == 0 ? options->extraInsideCrc
                                                                : options->extraAfterCrc;
    if (!packer::ReadWholeFile(Get(args, extra), "extra bytes", &into, error, kBelow2GiB,
                               "it must be smaller than 2 GiB"))
      return false;
  }
  return true;
}

// The unsigned launcher file, with a progress line on a terminal.
bool WriteLauncherFile(BuildJob& job, packer::ByteSink& out, std::string* error) {
  packer::FileSet* set = job.folder ? &job.folder->set : job.programSet ? &*job.programSet : nullptr;
  uint64_t total = job.setup ? job.setup->Size() : 0;
  if (set) {
    total = 0;
    for (const packer::SetFile& file : set->files) total += file.size;
  }
  ProgressDisplay progress(StderrIsTerminal() && total >= kProgressThreshold, "compressing");
  job.options.progress = [&progress](uint64_t done, uint64_t total) {
    progress.Update(done, total);
  };
  *error = set ? packer::BuildFileSetLauncher(job.stub, *set, job.options, out)
               : packer::BuildLauncherFile(job.stub, *job.setup, job.options, out);
  progress.Finish();
  return error->empty();
}

// The folder of a file set, read and checked before OUT's temporary exists.
bool OpenSetupFolder(const ParsedArgs& args, BuildJob* job, std::string* error) {
  packer::SetupFolderOptions options;
  options.folder = Get(args, "--setup-dir");
  options.entry = Get(args, "--entry");
  options.blockSize = job->blockSize;
  options.outPath = Get(args, "--out");
  options.signCommand = job->signCommand;
  options.signTimeout = job->signTimeout;
  options.signSetup = Has(args, "--sign-setup");
  options.resignSetup = Has(args, "--resign-setup");
  job->folder.emplace();
  return packer::PrepareSetupFolder(options, &*job->folder, error);
}

// The setup program, the block given in its place, or a file set.
bool OpenPayload(const ParsedArgs& args, BuildJob* job, std::string* error) {
  if (Has(args, "--setup-dir")) return OpenSetupFolder(args, job, error);
  return Has(args, "--precompressed-block") ? ReadPrecompressedBlock(args, job, error)
                                            : OpenSetupProgram(args, job, error);
}

// Every input is checked and opened before OUT's temporary is made; the
// launcher file is written there, signed there when asked, and only then
// becomes OUT.
int RunBuild(const ParsedArgs& args) {
  BuildJob job;
  std::string error;
  const bool ready = CheckBuildArguments(args, &error) &&
                     ReadPackageOptions(args, &job.options, &error) &&
                     CheckOutputPath(args, &error) &&
                     ReadBrandingOptions(args, &job.options.branding, &error) &&
                     ReadSignOptions(args, &job, &error) &&
                     ReadBlockSize(args, &job, &error) &&
                     ReadStub(args, &job.stub, &error) &&
                     OpenPayload(args, &job, &error) &&
                     ReadExtraBytes(args, &job.options, &error);
  if (!ready) return Fail(error);

  packer::OutputFile out;
  if (!out.Open(Get(args, "--out"))) return Fail(out.error);
  if (!WriteLauncherFile(job, out, &error)) return Fail(error);
  if (!job.signCommand.empty() &&
      !packer::RunSignCommand(job.signCommand, job.signTimeout, out, Get(args, "--out"), &error))
    return Fail(error);
  if (!out.Commit()) return Fail(out.error);
  const std::string& warning =
      job.folder ? job.folder->entry.Warning() : job.setupProgram.Warning();
  if (!warning.empty()) std::fprintf(stderr, "stubpack: warning: %s\n", warning.c_str());
  return 0;
}

int RunInspect(const ParsedArgs& args) {
  const std::string& path = args.positionals[0];
  std::string error;
  packer::PackageInfo info;
  if (!packer::ReadPackageInfoOfFile(path, &info, &error)) return Fail(error);
  // The setup program's signature needs the program, decoded as verify
  // decodes it; a package verify stops at has none to show. A file set's
  // entry is decoded with the whole set.
  const int64_t decoded = info.fileSet ? (int64_t)info.fileSet->table.totalSize
                                       : (int64_t)info.header.payloadSize;
  ProgressDisplay progress(StderrIsTerminal() && decoded >= (int64_t)kProgressThreshold,
                           "decoding");
  const packer::VerifyReport report = packer::VerifyLauncherFile(
      path, nullptr, [&progress](uint64_t done, uint64_t total) { progress.Update(done, total); });
  progress.Finish();
  info.setupSignature = report.setupSignature;
  const bool installerEntry = info.fileSet && info.fileSet->listed && report.ok;
  if (!info.setupSignature && !installerEntry) {
    info.setupSignature.emplace();
    info.setupSignature->state = packer::SignatureState::Unread;
    info.setupSignature->detail =
        "the launcher's checks stop before the setup program (see stubpack verify)";
  }
  std::string text = args.values.count("--json")
                         ? packer::FormatPackageInfoJson(path, info)
                         : packer::FormatPackageInfo(path, info);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

int RunStub(const ParsedArgs& args) {
  if (!args.values.count("--out")) return Fail("stub needs --out FILE");
  std::string error = packer::RefuseSpecialOutput(args.values.at("--out"));
  if (!error.empty()) return Fail(error);
  if (!packer::WriteFileAtomically(args.values.at("--out"), packer::EmbeddedStub(),
                                   &error))
    return Fail(error);
  return 0;
}

// verify's checks, with "decoding  42% (...)" on a terminal for work
// large enough to wait for.
packer::VerifyReport VerifyShowingProgress(const std::string& path, packer::ByteSink* setup,
                                           packer::SetSink* files, uint32_t threads) {
  ProgressDisplay progress(StderrIsTerminal(), "decoding");
  packer::VerifyReport report = packer::VerifyLauncherFile(
      path, setup,
      [&progress](uint64_t done, uint64_t total) {
        if (total >= kProgressThreshold) progress.Update(done, total);
      },
      files, threads);
  progress.Finish();
  return report;
}

// extract of a file set: its files go into a new or empty folder as they
// are decoded, and stay only once the whole file passed.
int ExtractFileSet(const std::string& path, const std::string& folder, uint32_t threads) {
  const std::string error = packer::RefuseOutputOverInput(folder, {{"the launcher file", path}});
  if (!error.empty()) return Fail(error);
  packer::SetFolderOutput out;
  if (!out.Open(folder)) return Fail(out.error);
  const packer::VerifyReport report = VerifyShowingProgress(path, nullptr, &out, threads);
  if (!report.ok) {
    out.Discard();
    return Fail(report.failure);
  }
  if (!out.Commit()) return Fail(out.error);
  return 0;
}

// verify and extract: the same checks; extract then writes the program.
int RunVerify(const ParsedArgs& args, bool extract) {
  const std::string& path = args.positionals[0];
  if (extract && !args.values.count("--out"))
    return Fail("extract needs --out FILE");
  std::string error;
  uint32_t threads = 0;  // one per processor
  if (!NumberOption(args, "--threads", 1, kMaxThreads, &threads, &error)) return Fail(error);
  // A missing file is the user's mistake, not the package's: say so plainly.
  if (!packer::CheckRegularFile(path, "launcher file", &error)) return Fail(error);
  if (extract && packer::CarriesFileSet(path))
    return ExtractFileSet(path, args.values.at("--out"), threads);
  if (extract) {
    error = packer::RefuseOutputOverInput(args.values.at("--out"),
                                          {{"the launcher file", path}});
    if (error.empty()) error = packer::RefuseSpecialOutput(args.values.at("--out"));
    if (!error.empty()) return Fail(error);
  }
  // extract writes the program as it is decoded; the output appears only
  // once the whole file passed.
  packer::OutputFile out;
  if (extract && !out.Open(args.values.at("--out"))) return Fail(out.error);
  const packer::VerifyReport report =
      VerifyShowingProgress(path, extract ? &out : nullptr, nullptr, threads);
  if (!extract)
    for (const std::string& line : report.lines) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  if (!report.ok) return Fail(report.failure);
  if (extract && !out.Commit()) return Fail(out.error);
  return 0;
}

int Run(const std::vector<std::string>& argv) {
  if (argv.size() < 2 || argv[1] == "--help" || argv[1] == "-h" ||
      argv[1] == "help") {
    PrintOverview();
    return argv.size() < 2 ? 1 : 0;
  }
  if (argv[1] == "--version") {
    if (argv.size() > 2) return Fail("--version takes no arguments");
    std::fputs(packer::VersionText().c_str(), stdout);
    return 0;
  }
  if (argv[1] == "--bash-completion") {
    if (argv.size() > 2) return Fail("--bash-completion takes no arguments");
    return PrintBashCompletion();
  }
  const Command* command = nullptr;
  for (const Command* candidate : kCommands)
    if (argv[1] == candidate->name) command = candidate;
  if (!command)
    return Fail("unknown command " + argv[1] +
                " (commands: build, inspect, verify, extract, stub)");
  ParsedArgs parsed;
  std::string error;
  std::vector<std::string> rest(argv.begin() + 2, argv.end());
  if (!ParseArgs(*command, rest, &parsed, &error)) return Fail(error);
  if (parsed.help) {
    PrintHelp(*command);
    return 0;
  }
  if (command == &kBuild) return RunBuild(parsed);
  if (command == &kInspect) return RunInspect(parsed);
  if (command == &kStub) return RunStub(parsed);
  return RunVerify(parsed, command == &kExtract);
}

}  // namespace

#ifdef _WIN32
// Wide arguments, turned into UTF-8: every path and text then survives
// whatever the console's code page is.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::u16string wide;
    for (const wchar_t* unit = argv[i]; *unit; ++unit) wide += (char16_t)*unit;
    args.push_back(packer::Utf16ToUtf8(wide));
  }
  return Run(args);
}
#else
int main(int argc, char** argv) {
  return Run(std::vector<std::string>(argv, argv + argc));
}
#endif
