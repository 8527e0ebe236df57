// SPDX-License-Identifier: 0BSD
// Running the signing command and judging what it produced.
#include "packer/SignCommand.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char** environ;
#endif

#include "packer/FileIO.h"
#include "packer/OutputFile.h"
#include "packer/PackageReader.h"
#include "packer/PackageWriter.h"
#include "packer/PeImage.h"
#include "packer/Verify.h"

namespace packer {
namespace {

const char kLauncherFile[] = "launcher file";
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

struct Placeholder {
  const char* text;
  const char* variable;
};
const Placeholder kPlaceholders[] = {{kIn, "STUBPACK_IN"}, {kOut, "STUBPACK_OUT"}};

#ifdef _WIN32
// cmd.exe: '"' opens and closes a quoted stretch; '^' escapes the next
// character outside one. Quotes keep & | < > in the expanded path plain,
// and cmd expands a variable only once, so a % in the path stays.
const char kQuoteCharacters[] = "\"";
bool EscapeWorks(char quote) { return quote == 0; }
const char kEscape = '^';
std::string Reference(const char* variable) { return std::string("\"%") + variable + "%\""; }
#else
// /bin/sh: ' and " quote, and a backslash escapes outside single quotes.
// A quoted variable is expanded once and never parsed as shell code.
const char kQuoteCharacters[] = "'\"";
bool EscapeWorks(char quote) { return quote != '\''; }
const char kEscape = '\\';
std::string Reference(const char* variable) { return std::string("\"$") + variable + "\""; }
#endif

const Placeholder* PlaceholderAt(const std::string& text, size_t at) {
  for (const Placeholder& placeholder : kPlaceholders)
    if (text.compare(at, std::strlen(placeholder.text), placeholder.text) == 0)
      return &placeholder;
  return nullptr;
}

// The folder of `path`, absolute: the paths handed to the command then
// never start with a dash, and on Windows use backslashes only.
std::string AbsoluteFolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? path.substr(0, 1)
                                                        : path.substr(0, slash);
  std::error_code code;
  std::string absolute =
      std::filesystem::absolute(std::filesystem::u8path(folder), code).lexically_normal().u8string();
  while (absolute.size() > 1 && (absolute.back() == '/' || absolute.back() == '\\'))
    absolute.pop_back();
  return code ? folder : absolute;
}

// The last lines of the command's output, on one line, safe for a terminal.
// Only the log's end is read: a command may print without end.
std::string Tail(const std::string& logPath) {
  const uint64_t kTailBytes = 64u << 10;
  std::ifstream log(std::filesystem::u8path(logPath), std::ios::binary);
  log.seekg(0, std::ios::end);
  const std::streamoff size = log.tellg();
  if (!log || size <= 0) return "";
  log.seekg(size > (std::streamoff)kTailBytes ? size - (std::streamoff)kTailBytes : 0);
  const std::string bytes((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  std::string line;
  for (char c : bytes) {
    if (c == '\n' || c == '\r') {
      if (!line.empty()) lines.push_back(line);
      line.clear();
    } else {
      line += (unsigned char)c < 0x20 ? ' ' : c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  std::string out;
  for (size_t i = lines.size() > kShownLines ? lines.size() - kShownLines : 0; i < lines.size(); ++i)
    out += (out.empty() ? "" : " | ") + lines[i];
  if (out.size() > kShownChars) out = "..." + out.substr(out.size() - kShownChars);
  return TerminalText(out);
}

// Whatever the command left in the folder goes with it: files, folders,
// links (not followed).
void RemoveFolder(const std::string& path) {
  std::error_code code;
  std::filesystem::permissions(std::filesystem::u8path(path), std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, code);
  std::filesystem::remove_all(std::filesystem::u8path(path), code);
}

using Environment = std::vector<std::pair<std::string, std::string>>;

std::string TimeLimitText(uint32_t seconds) {
  return "the sign command was ended: it ran past the time limit of " +
         std::to_string(seconds) + " s (--sign-timeout)";
}

#ifdef _WIN32
std::wstring Wide(const std::string& utf8) {
  std::u16string wide;
  Utf8ToUtf16(utf8, &wide);
  return std::wstring(wide.begin(), wide.end());
}

bool MakeFolder(const std::string& path) { return CreateDirectoryW(Wide(path).c_str(), nullptr) != 0; }

// Set by the console handler while the command runs.
HANDLE gInterrupted = nullptr;

BOOL WINAPI OnConsoleEventWhileSigning(DWORD event) {
  SetEvent(gInterrupted);
  // A closing console ends the process as soon as this returns: leave the
  // main thread time to end the command and remove the folder first.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(5000);
  return TRUE;
}

// cmd.exe /s /c "..." takes the command line as the user wrote it; /d skips
// AutoRun commands and /v:off keeps ! plain. The command and all it starts
// run in a job object that ends with it.
bool RunShell(const std::string& command, const Environment& environment,
              const std::string& logPath, uint32_t timeoutSeconds, int* exitCode,
              std::string* error) {
  for (const auto& variable : environment)
    SetEnvironmentVariableW(Wide(variable.first).c_str(), Wide(variable.second).c_str());
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
  std::wstring line = L"cmd.exe /d /v:off /s /c \"" + Wide(command) + L"\"";
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job) SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(log);
  if (!started) {
    if (job) CloseHandle(job);
    return Fail(error, "cannot start cmd.exe (error " + std::to_string(GetLastError()) + ")");
  }
  // Without the job (a system that refuses nesting), only cmd.exe itself
  // can be ended.
  if (job && !AssignProcessToJobObject(job, process.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  ResumeThread(process.hThread);
  gInterrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEventWhileSigning, TRUE);
  HANDLE waits[2] = {process.hProcess, gInterrupted};
  const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, timeoutSeconds * 1000);
  std::string stop;
  if (waited == WAIT_TIMEOUT) stop = TimeLimitText(timeoutSeconds);
  else if (waited != WAIT_OBJECT_0) stop = "the sign command was ended: stubpack was interrupted";
  if (!stop.empty()) {
    if (job) TerminateJobObject(job, 1);
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
  }
  SetConsoleCtrlHandler(OnConsoleEventWhileSigning, FALSE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  if (job) CloseHandle(job);  // ends whatever the command left running
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(gInterrupted);
  gInterrupted = nullptr;
  *exitCode = (int)code;
  return stop.empty() ? true : Fail(error, stop);
}

std::string TakeInterruption() { return ""; }

class SigningSignals {};
#else
bool MakeFolder(const std::string& path) { return mkdir(path.c_str(), 0700) == 0; }

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds Ctrl-C, SIGTERM and SIGHUP back while signing runs; they are taken
// at the wait instead, so that the command is ended and every temporary
// removed before stubpack exits. SIGCHLD wakes the wait; SIGTTOU is held so
// that stubpack can take the terminal back from the command.
class SigningSignals {
 public:
  SigningSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kEndingSignals) sigaddset(&set, signal);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTTOU);
    sigprocmask(SIG_BLOCK, &set, &previous_);
  }
  ~SigningSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SigningSignals(const SigningSignals&) = delete;
  SigningSignals& operator=(const SigningSignals&) = delete;

 private:
  sigset_t previous_;
};

// Waits up to `milliseconds` for a held signal; the ending one taken, or 0.
int TakeSignal(long milliseconds) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kEndingSignals) sigaddset(&set, signal);
  sigaddset(&set, SIGCHLD);
  const struct timespec wait = {milliseconds / 1000, milliseconds % 1000 * 1000000};
  const int signal = sigtimedwait(&set, nullptr, &wait);
  return signal == SIGCHLD || signal < 0 ? 0 : signal;
}

std::string InterruptedText(int signal) {
  return std::string("the sign command was ended: stubpack received ") +
         (signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP");
}

// An ending signal that came while no command ran.
std::string TakeInterruption() {
  const int signal = TakeSignal(0);
  return signal ? InterruptedText(signal) : "";
}

long MillisecondsNow() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The command runs in a process group of its own, which stubpack ends as a
// whole; when stubpack has the terminal, the group gets it meanwhile, so
// that Ctrl-C and a password prompt reach the command.
bool RunShell(const std::string& command, const Environment& environment,
              const std::string& logPath, uint32_t timeoutSeconds, int* exitCode,
              std::string* error) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    bool replaced = false;
    for (const auto& variable : environment)
      replaced = replaced || std::strncmp(*entry, (variable.first + "=").c_str(),
                                          variable.first.size() + 1) == 0;
    if (!replaced) variables.push_back(*entry);
  }
  for (const auto& variable : environment) variables.push_back(variable.first + "=" + variable.second);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(&variable[0]);
  envp.push_back(nullptr);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};

  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log < 0) return Fail(error, "cannot create " + logPath);
  const bool terminal = isatty(0) && tcgetpgrp(0) == getpgrp();
  sigset_t unblocked;
  sigemptyset(&unblocked);
  sigprocmask(SIG_BLOCK, nullptr, &unblocked);
  for (int signal : kEndingSignals) sigdelset(&unblocked, signal);
  sigdelset(&unblocked, SIGCHLD);
  sigdelset(&unblocked, SIGTTOU);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    if (terminal) tcsetpgrp(0, getpid());
    sigprocmask(SIG_SETMASK, &unblocked, nullptr);
    dup2(log, 1);
    dup2(log, 2);
    execve("/bin/sh", (char* const*)argv, envp.data());
    _exit(127);
  }
  close(log);
  if (child < 0) return Fail(error, "cannot start /bin/sh");
  setpgid(child, child);
  if (terminal) tcsetpgrp(0, child);

  const long deadline = MillisecondsNow() + (long)timeoutSeconds * 1000;
  int status = 0;
  bool reaped = false;
  std::string stop;
  while (!(reaped = waitpid(child, &status, WNOHANG) == child)) {
    const long left = deadline - MillisecondsNow();
    if (left <= 0) {
      stop = TimeLimitText(timeoutSeconds);
      break;
    }
    if (const int signal = TakeSignal(left < 250 ? left : 250)) {
      stop = InterruptedText(signal);
      break;
    }
  }
  if (!stop.empty()) {
    // A moment to clean up after itself, then no more.
    kill(-child, SIGTERM);
    for (int i = 0; i < 20 && !(reaped = waitpid(child, &status, WNOHANG) == child); ++i)
      usleep(100000);
    kill(-child, SIGKILL);
    if (!reaped) waitpid(child, &status, 0);
  }
  kill(-child, SIGKILL);  // whatever the command left running
  if (terminal) tcsetpgrp(0, getpgrp());
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return stop.empty() ? true : Fail(error, stop);
}
#endif

}  // namespace

bool ExpandSignCommand(const std::string& command, std::string* line, std::string* error) {
  line->clear();
  char quote = 0;
  for (size_t at = 0; at < command.size();) {
    const char c = command[at];
    if (const Placeholder* placeholder = PlaceholderAt(command, at)) {
      if (quote)
        return Fail(error, std::string(placeholder->text) +
                               " stands inside quotes; write it bare, stubpack quotes the path");
      *line += Reference(placeholder->variable);
      at += std::strlen(placeholder->text);
      continue;
    }
    if (c == kEscape && EscapeWorks(quote) && at + 1 < command.size()) {
      if (const Placeholder* placeholder = PlaceholderAt(command, at + 1))
        return Fail(error, std::string(placeholder->text) +
                               " follows an escape character; write it bare");
      *line += command.substr(at, 2);
      at += 2;
      continue;
    }
    if (!quote && std::strchr(kQuoteCharacters, c)) quote = c;
    else if (quote == c) quote = 0;
    *line += c;
    ++at;
  }
  return true;
}

bool CheckSignCommand(const std::string& command, std::string* error) {
  if (command.find(kIn) == std::string::npos)
    return Fail(error, "the command must name {in}, the unsigned file");
#ifndef _WIN32
  if (command.find(kOut) == std::string::npos)
    return Fail(error, "the command must name {out}, where the signed file goes");
#endif
  std::string line;
  return ExpandSignCommand(command, &line, error);
}

namespace {

// What the signed file is compared and copied in.
const size_t kComparePiece = 1u << 20;

// The file's first bytes, as far as its headers can reach.
bool ReadHead(const FileView& file, std::vector<uint8_t>* head) {
  head->resize((size_t)std::min<uint64_t>(file.size, kLoaderHeadBytes));
  return file.read(0, head->data(), head->size());
}

// Everything before the certificate table is the unsigned file, save the
// two fields signing sets, and at most alignment padding.
std::string CompareBeforeTable(const FileView& unsignedFile, const FileView& signedFile,
                               const PeLayout& after, const std::string& what) {
  std::vector<uint8_t> expected(kComparePiece), actual(kComparePiece);
  for (uint64_t at = 0; at < after.certificateOffset; at += kComparePiece) {
    const size_t piece = (size_t)std::min<uint64_t>(kComparePiece, after.certificateOffset - at);
    const size_t known =
        at < unsignedFile.size ? (size_t)std::min<uint64_t>(piece, unsignedFile.size - at) : 0;
    if (!unsignedFile.read(at, expected.data(), known) ||
        !signedFile.read(at, actual.data(), piece))
      return "it cannot be read back";
    std::fill(expected.begin() + (ptrdiff_t)known, expected.begin() + (ptrdiff_t)piece, 0);
    for (size_t i = 0; i < piece; ++i) {
      const uint64_t offset = at + i;
      const bool field = (offset >= after.checksumOffset && offset < after.checksumOffset + 4) ||
                         (offset >= after.securityDirectoryOffset &&
                          offset < after.securityDirectoryOffset + 8);
      if (!field && actual[i] != expected[i])
        return "the signing command changed byte " + std::to_string(offset) + " of the " + what;
    }
  }
  return "";
}

// The command's result, read a piece at a time wherever the checks look.
class ResultFile {
 public:
  bool Open(const std::string& path, uint64_t unsignedSize, const std::string& what,
            std::string* error) {
    std::error_code code;
    size_ = std::filesystem::file_size(std::filesystem::u8path(path), code);
    if (code) return Fail(error, "cannot read signed file " + path + ": " + code.message());
    if (size_ > unsignedSize + kSignatureAllowance)
      return Fail(error, "signed file " + path + " is " + std::to_string(size_) +
                             " bytes; signing may add at most 16 MiB to the " +
                             std::to_string(unsignedSize) + " bytes of the " + what);
    in_.open(std::filesystem::u8path(path), std::ios::binary);
    return in_ ? true : Fail(error, "cannot open signed file " + path);
  }
  FileView View() {
    return {size_, [this](uint64_t offset, uint8_t* into, size_t size) {
              in_.clear();
              in_.seekg((std::streamoff)offset);
              return (bool)in_.read((char*)into, (std::streamsize)size);
            }};
  }

 private:
  std::ifstream in_;
  uint64_t size_ = 0;
};

// Copies bytes `from`-`to` of `source` to the same place in `file`.
bool CopyRange(const FileView& source, uint64_t from, uint64_t to, ByteSink& file,
               std::string* error) {
  std::vector<uint8_t> piece(std::min<uint64_t>(kComparePiece, to - from));
  for (uint64_t at = from; at < to; at += piece.size()) {
    const size_t size = (size_t)std::min<uint64_t>(piece.size(), to - at);
    if (!source.read(at, piece.data(), size))
      return Fail(error, "the signed file cannot be read back");
    if (!file.WriteAt(at, piece.data(), size)) return Fail(error, file.error);
  }
  return true;
}

// Makes `file`, the unsigned launcher file, the signed one CheckSignedFile
// accepted: the two fields signing sets, then padding and certificate table.
bool TakeSignature(const FileView& signedFile, ByteSink& file, std::string* error) {
  std::vector<uint8_t> head;
  PeLayout after;
  std::string problem;
  if (!ReadHead(signedFile, &head) || !ReadPeLayout(head, &after, &problem))
    return Fail(error, "the signed file cannot be read back");
  return CopyRange(signedFile, after.checksumOffset, after.checksumOffset + 4, file, error) &&
         CopyRange(signedFile, after.securityDirectoryOffset, after.securityDirectoryOffset + 8,
                   file, error) &&
         CopyRange(signedFile, file.Size(), signedFile.size, file, error);
}

// The unsigned file, copied for the command: it may sign in place.
bool WriteCopy(const FileView& file, const std::string& path, std::string* error) {
  std::ofstream out(std::filesystem::u8path(path), std::ios::binary);
  std::vector<uint8_t> piece((size_t)std::min<uint64_t>(kComparePiece, file.size));
  for (uint64_t at = 0; out && at < file.size; at += piece.size()) {
    const size_t size = (size_t)std::min<uint64_t>(piece.size(), file.size - at);
    if (!file.read(at, piece.data(), size)) return Fail(error, "cannot read the unsigned file");
    out.write((const char*)piece.data(), (std::streamsize)size);
  }
  out.close();
  return out ? true : Fail(error, "cannot write " + path);
}

}  // namespace

FileView ViewOf(const std::vector<uint8_t>& bytes) {
  return {bytes.size(), [&bytes](uint64_t offset, uint8_t* into, size_t size) {
            if (offset > bytes.size() || size > bytes.size() - offset) return false;
            std::memcpy(into, bytes.data() + offset, size);
            return true;
          }};
}

bool CheckSignatureAdded(const FileView& unsignedFile, const FileView& signedFile,
                         const std::string& what, std::string* error) {
  std::vector<uint8_t> head;
  PeLayout before, after;
  std::string problem;
  if (!ReadHead(unsignedFile, &head) || !ReadPeLayout(head, &before, &problem) ||
      !ReadHead(signedFile, &head) || !ReadPeLayout(head, &after, &problem))
    return Fail(error, "the signed file is " + (problem.empty() ? "unreadable" : problem));
  if (!after.hasSecurityDirectory || after.certificateOffset == 0 || after.certificateSize == 0)
    return Fail(error, "the signed file carries no signature");
  if ((uint64_t)after.certificateOffset + after.certificateSize != signedFile.size)
    return Fail(error, "the signed file has bytes after its certificate table");
  if (after.certificateOffset < unsignedFile.size)
    return Fail(error, "the signature does not lie behind the unsigned " + what);
  const std::string table =
      CheckCertificateTable(after, unsignedFile.size, signedFile.size, signedFile.read);
  if (!table.empty()) return Fail(error, table);
  problem = CompareBeforeTable(unsignedFile, signedFile, after, what);
  return problem.empty() ? true : Fail(error, problem);
}

bool CheckSignedFile(const FileView& unsignedFile, const FileView& signedFile,
                     const std::string& path, std::string* error) {
  if (!CheckSignatureAdded(unsignedFile, signedFile, kLauncherFile, error)) return false;
  VerifyReport report = VerifyLauncherFile(path);
  if (!report.ok) return Fail(error, "the signed file fails verify: " + report.failure);
  return true;
}

namespace {

using SignedFileCheck =
    std::function<bool(const FileView& signedFile, const std::string& path, std::string* error)>;

// Everything in `folder` but `keep` goes.
void EmptyFolderBut(const std::string& folder, const std::string& keep) {
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(folder), code))
    if (entry.path() != std::filesystem::u8path(keep)) std::filesystem::remove_all(entry.path(), code);
}

// Signing, for both callers: a private folder beside `outPath`, the command
// run on a copy of `unsignedFile` (called `what` in messages) there, its
// result judged by `check` within the size bound, a piece at a time, and
// closed again. The folder is removed, unless `kept` is given: the checked
// result then stays there as `kept`, alone.
bool SignInFolder(const std::string& command, uint32_t timeoutSeconds,
                  const FileView& unsignedFile, const std::string& what,
                  const std::string& outPath, const SignedFileCheck& check,
                  SignedCopy* kept, std::string* error) {
  std::string line;
  if (!ExpandSignCommand(command, &line, error)) return false;
  [[maybe_unused]] SigningSignals held;
  std::random_device random;
  std::string folder;
  for (int attempt = 0; folder.empty(); ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, ".stubpack-sign-%08x", (unsigned)random());
    const std::string candidate = AbsoluteFolderOf(outPath) + kSeparator + name;
    if (MakeFolder(candidate)) folder = candidate;
    else if (attempt == 16) return Fail(error, "cannot make a folder beside " + outPath);
  }
  const std::string in = folder + kSeparator + "unsigned.exe";
  const std::string out = folder + kSeparator + "signed.exe";
  const std::string log = folder + kSeparator + "output.txt";
  const bool inPlace = command.find(kOut) == std::string::npos;
  const std::string result = inPlace ? in : out;

  bool ok = WriteCopy(unsignedFile, in, error);
  int exitCode = 0;
  if (ok) {
    const std::string interruption = TakeInterruption();
    if (!interruption.empty()) ok = Fail(error, interruption);
  }
  if (ok)
    ok = RunShell(line, {{"STUBPACK_IN", in}, {"STUBPACK_OUT", out}}, log, timeoutSeconds,
                  &exitCode, error);
  if (ok && exitCode != 0) {
    const std::string tail = Tail(log);
    ok = Fail(error, "the sign command failed with exit code " + std::to_string(exitCode) +
                         (tail.empty() ? "" : ": " + tail));
  }
  std::string problem;
  if (ok && !CheckRegularFile(result, "signed file", &problem)) {
    const std::string tail = Tail(log);
    ok = Fail(error, "the sign command (exit code 0) wrote no " +
                         std::string(inPlace ? "file" : "{out}") +
                         (tail.empty() ? "" : ": " + tail));
  }
  if (ok) {
    ResultFile signedFile;
    if (!signedFile.Open(result, unsignedFile.size, what, &problem) ||
        !check(signedFile.View(), result, &problem))
      ok = Fail(error, "the sign command's result is refused: " + problem);
  }
  const std::string interruption = TakeInterruption();
  if (ok && !interruption.empty()) ok = Fail(error, interruption);
  if (ok && kept) {
    // Still with the signals held: from here on an interruption removes it.
    EmptyFolderBut(folder, result);
    kept->Keep(folder, result);
    return true;
  }
  RemoveFolder(folder);
  return ok;
}

}  // namespace

bool RunSignCommand(const std::string& command, uint32_t timeoutSeconds, ByteSink& file,
                    const std::string& outPath, std::string* error) {
  const FileView unsignedFile = {file.Size(), [&file](uint64_t offset, uint8_t* into,
                                                      size_t size) {
                                   return file.ReadAt(offset, into, size);
                                 }};
  return SignInFolder(
      command, timeoutSeconds, unsignedFile, kLauncherFile, outPath,
      [&](const FileView& result, const std::string& path, std::string* problem) {
        if (!CheckSignedFile(unsignedFile, result, path, problem)) return false;
        if (TakeSignature(result, file, problem)) return true;
        *problem = "it could not be copied into the output: " + *problem;
        return false;
      },
      nullptr, error);
}

SignedCopy::~SignedCopy() {
  if (folder_.empty()) return;
  RemoveOnInterrupt("", "");
  RemoveFolder(folder_);
}

void SignedCopy::Keep(const std::string& folder, const std::string& path) {
  folder_ = folder;
  path_ = path;
  RemoveOnInterrupt(path, folder);
}

bool SignCopy(const std::string& command, uint32_t timeoutSeconds,
              const FileView& unsignedFile, const std::string& what,
              const std::string& outPath, SignedCopy* copy, std::string* error) {
  return SignInFolder(
      command, timeoutSeconds, unsignedFile, what, outPath,
      [&](const FileView& result, const std::string&, std::string* problem) {
        return CheckSignatureAdded(unsignedFile, result, what, problem);
      },
      copy, error);
}

}  // namespace packer
