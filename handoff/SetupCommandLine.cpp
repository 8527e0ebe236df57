// SPDX-License-Identifier: 0BSD
// Building the setup program's argument string and direct command line.
#include "handoff/SetupCommandLine.h"

#include "core/Memory.h"
#include "handoff/Arguments.h"
#include "platform/Platform.h"

namespace {

const uint32_t kUniversalNameBufferSize = 2000;

}  // namespace

WideText ToUniversalPath(const WideText& path) {
  if (path.Length() < 2 || path.At(1) != u':') return path;
  void* buffer = AllocateOrDie(kUniversalNameBufferSize);
  uint32_t size = kUniversalNameBufferSize;
  const WideChar* universal = PlatformGetUniversalName(path.Data(), buffer,
                                                       &size);
  WideText result = universal ? WideText(universal) : path;
  Release(buffer);
  return result;
}

void AppendQuotedArgument(WideText& line, const WideText& argument) {
  line.Append(u' ');
  if (!argument.Contains(u' ')) {
    line.Append(argument);
    return;
  }
  line.Append(u'"');
  line.Append(argument);
  line.Append(u'"');
}

WideText BuildSetupArguments() {
  WideText arguments(u"\"");
  arguments.Append(ToUniversalPath(ArgumentAt(0)));
  arguments.Append(u'"');
  const int32_t count = ArgumentCount();
  for (int32_t i = 1; i <= count; ++i)
    AppendQuotedArgument(arguments, ArgumentAt(i));
  return arguments;
}

WideText BuildDirectCommandLine(const WideText& temporaryCopy,
                                const WideText& arguments) {
  WideText line(u"\"");
  line.Append(temporaryCopy);
  line.Append(u"\" ");
  line.Append(arguments);
  return line;
}
