// SPDX-License-Identifier: 0BSD
// Running the signing command and judging what it produced.
#include "packer/SignCommand.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "packer/FileIO.h"
#include "packer/PackageReader.h"
#include "packer/PackageWriter.h"
#include "packer/PeImage.h"
#include "packer/Verify.h"

namespace packer {
namespace {

const char kIn[] = "{in}";
const char kOut[] = "{out}";
const size_t kShownLines = 3;
const size_t kShownChars = 400;

#ifdef _WIN32
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

// Paths go into a shell command line; quote them unless they are plainly
// safe.
std::string Quote(const std::string& path) {
  bool plain = !path.empty();
  for (char c : path)
    plain = plain && (std::isalnum((unsigned char)c) || std::strchr("/\\:._-+,=@", c));
  if (plain) return path;
#ifdef _WIN32
  return "\"" + path + "\"";
#else
  std::string out = "'";
  for (char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
#endif
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// The last lines of the command's output, on one line.
std::string Tail(const std::string& logPath) {
  std::vector<uint8_t> bytes;
  std::string unused;
  if (!ReadWholeFile(logPath, "log", &bytes, &unused)) return "";
  std::vector<std::string> lines;
  std::string line;
  for (uint8_t c : bytes) {
    if (c == '\n' || c == '\r') {
      if (!line.empty()) lines.push_back(line);
      line.clear();
    } else {
      line += c < 0x20 ? ' ' : (char)c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  std::string out;
  for (size_t i = lines.size() > kShownLines ? lines.size() - kShownLines : 0; i < lines.size(); ++i)
    out += (out.empty() ? "" : " | ") + lines[i];
  if (out.size() > kShownChars) out = "..." + out.substr(out.size() - kShownChars);
  return out;
}

#ifdef _WIN32
std::wstring Wide(const std::string& utf8) {
  std::u16string wide;
  Utf8ToUtf16(utf8, &wide);
  return std::wstring(wide.begin(), wide.end());
}

bool MakeFolder(const std::string& path) { return CreateDirectoryW(Wide(path).c_str(), nullptr) != 0; }
void RemoveFile(const std::string& path) { DeleteFileW(Wide(path).c_str()); }
void RemoveFolder(const std::string& path) { RemoveDirectoryW(Wide(path).c_str()); }

// cmd.exe /s /c "..." takes the command line as the user wrote it.
bool RunShell(const std::string& command, const std::string& logPath, int* exitCode,
              std::string* error) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE log = CreateFileW(Wide(logPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return Fail(error, "cannot create " + logPath);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = log;
  startup.hStdError = log;
  std::wstring line = L"cmd.exe /d /s /c \"" + Wide(command) + L"\"";
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(log);
  if (!started)
    return Fail(error, "cannot start cmd.exe (error " + std::to_string(GetLastError()) + ")");
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  *exitCode = (int)code;
  return true;
}
#else
bool MakeFolder(const std::string& path) { return mkdir(path.c_str(), 0700) == 0; }
void RemoveFile(const std::string& path) { unlink(path.c_str()); }
void RemoveFolder(const std::string& path) { rmdir(path.c_str()); }

bool RunShell(const std::string& command, const std::string& logPath, int* exitCode,
              std::string* error) {
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log < 0) return Fail(error, "cannot create " + logPath);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(log, 1);
    dup2(log, 2);
    execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
    _exit(127);
  }
  close(log);
  if (child < 0) return Fail(error, "cannot start /bin/sh");
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}
#endif

}  // namespace

bool CheckSignCommand(const std::string& command, std::string* error) {
  if (command.find(kIn) == std::string::npos)
    return Fail(error, "the command must name {in}, the unsigned file");
#ifndef _WIN32
  if (command.find(kOut) == std::string::npos)
    return Fail(error, "the command must name {out}, where the signed file goes");
#endif
  return true;
}

bool CheckSignedFile(const std::vector<uint8_t>& unsignedFile,
                     const std::vector<uint8_t>& signedFile, const std::string& path,
                     std::string* error) {
  PeLayout before, after;
  std::string problem;
  if (!ReadPeLayout(unsignedFile, &before, &problem) ||
      !ReadPeLayout(signedFile, &after, &problem))
    return Fail(error, "the signed file is " + problem);
  if (!after.hasSecurityDirectory || after.certificateOffset == 0 || after.certificateSize == 0)
    return Fail(error, "the signed file carries no signature");
  if ((uint64_t)after.certificateOffset + after.certificateSize != signedFile.size())
    return Fail(error, "the signed file has bytes after its certificate table");
  if (after.certificateOffset < unsignedFile.size())
    return Fail(error, "the signature does not lie behind the package");
  // Everything before the certificate table is the unsigned file, save the
  // two fields signing sets, and at most alignment padding.
  for (size_t i = 0; i < after.certificateOffset; ++i) {
    const uint8_t expected = i < unsignedFile.size() ? unsignedFile[i] : 0;
    const bool field = (i >= after.checksumOffset && i < after.checksumOffset + 4) ||
                       (i >= after.securityDirectoryOffset &&
                        i < after.securityDirectoryOffset + 8);
    if (!field && signedFile[i] != expected)
      return Fail(error, "the signing command changed byte " + std::to_string(i) +
                             " of the launcher file");
  }
  VerifyReport report = VerifyLauncherFile(path);
  if (!report.ok) return Fail(error, "the signed file fails verify: " + report.failure);
  return true;
}

bool RunSignCommand(const std::string& command, const std::vector<uint8_t>& unsignedFile,
                    const std::string& outPath, std::vector<uint8_t>* signedFile,
                    std::string* error) {
  std::random_device random;
  std::string folder;
  for (int attempt = 0; folder.empty(); ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, ".stubpack-sign-%08x", (unsigned)random());
    const std::string candidate = FolderOf(outPath) + kSeparator + name;
    if (MakeFolder(candidate)) folder = candidate;
    else if (attempt == 16) return Fail(error, "cannot make a folder beside " + outPath);
  }
  const std::string in = folder + kSeparator + "unsigned.exe";
  const std::string out = folder + kSeparator + "signed.exe";
  const std::string log = folder + kSeparator + "output.txt";
  const bool inPlace = command.find(kOut) == std::string::npos;
  const std::string result = inPlace ? in : out;
  auto cleanUp = [&] {
    RemoveFile(in);
    RemoveFile(out);
    RemoveFile(log);
    RemoveFolder(folder);
  };

  bool ok = WriteFileAtomically(in, unsignedFile, error);
  int exitCode = 0;
  const std::string line = ReplaceAll(ReplaceAll(command, kIn, Quote(in)), kOut, Quote(out));
  if (ok) ok = RunShell(line, log, &exitCode, error);
  if (ok && exitCode != 0) {
    const std::string tail = Tail(log);
    ok = Fail(error, "the sign command failed with exit code " + std::to_string(exitCode) +
                         (tail.empty() ? "" : ": " + tail));
  }
  std::string problem;
  if (ok && !ReadWholeFile(result, "signed file", signedFile, &problem)) {
    const std::string tail = Tail(log);
    ok = Fail(error, "the sign command (exit code 0) wrote no " +
                         std::string(inPlace ? "file" : "{out}") +
                         (tail.empty() ? "" : ": " + tail));
  }
  if (ok && !CheckSignedFile(unsignedFile, *signedFile, result, &problem))
    ok = Fail(error, "the sign command's result is refused: " + problem);
  cleanUp();
  return ok;
}

}  // namespace packer
