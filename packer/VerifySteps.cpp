// SPDX-License-Identifier: 0BSD
// One launcher step run for verify, and the report's lines.
#include "packer/VerifySteps.h"

#include <cstdio>
#include <new>

#include "core/FailureReport.h"
#include "core/FatalErrors.h"
#include "packer/FilePlatform.h"
#include "packer/PackageWriter.h"
#include "packer/PrintableText.h"

namespace packer {
namespace {

const uint32_t kOutOfMemoryExit = 203;

// Which of the launcher's messages a captured box is.
std::string NameMessage(const std::u16string& text) {
  if (text == kPackageDamagedText) return "the damaged-package message";
  if (text == kPackageTruncatedText) return "the truncated-package message";
  if (text == kTempCopyFailedText) return "the temporary-copy message";
  if (text == kLaunchFailedText) return "the not-executed message";
  return "the message \"" + TerminalText(Utf16ToUtf8(text)) + "\"";
}

}  // namespace

// What an administrator finds where no box can be shown.
std::string EventNote(uint32_t eventId) {
  return "Application-log event " + std::to_string(eventId) +
         " where no box can be shown";
}

StepResult RunStep(const std::function<void()>& step) {
  CapturedMessages().clear();
  try {
    step();
    return {true, ""};
  } catch (const PlatformExit& exit) {
    ReleaseFilePlatformAllocations();
    if (exit.exitCode == kOutOfMemoryExit)
      return {false, "runs out of memory (exit code 203; " +
                         EventNote(kEventOutOfMemory) + ")"};
    if (CapturedMessages().empty())
      return {false, "ends with exit code " + std::to_string(exit.exitCode)};
    return {false, "shows " + NameMessage(CapturedMessages().back().text) +
                       " and ends with exit code " +
                       std::to_string(exit.exitCode) + " (" +
                       EventNote(CapturedMessages().back().eventId) + ")"};
  } catch (const std::bad_alloc&) {
    ReleaseFilePlatformAllocations();
    return {false, "runs out of memory (exit code 203; " +
                       EventNote(kEventOutOfMemory) + ")"};
  }
}

std::string VerifyLine(const std::string& step, const std::string& result) {
  return step + std::string(step.size() < 14 ? 14 - step.size() : 1, ' ') + result;
}

bool Failed(VerifyRun& run, const std::string& step, const StepResult& result,
            const std::string& detail) {
  run.report.lines.push_back(VerifyLine(step, detail.empty() ? "FAILED" : "FAILED: " + detail));
  run.report.lines.push_back("outcome: the launcher " + result.outcome);
  run.report.failure = run.path + ": " + step + " check fails" +
                       (detail.empty() ? "" : " (" + detail + ")") + "; the launcher " +
                       result.outcome;
  run.Close();
  return false;
}

std::string Hex32(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", value);
  return buffer;
}

}  // namespace packer
