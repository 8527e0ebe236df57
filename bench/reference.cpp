// SPDX-License-Identifier: 0BSD
// The floor for the launcher's start-to-hand-off time: the least work that
// gets the setup program onto disk. Reads the compressed block named by the
// package header of the launcher file in BENCH_LAUNCHER, decodes it with the
// default -O2 liblzma in one call, writes it once to a temporary file, and
// then writes its end time to BENCH_STAMP exactly as stamp.exe writes its
// start time. Built like the launcher (no C runtime, the launcher's own
// memory functions), so only the decoder build and the launcher's own work
// differ. No checksum, no checks beyond what keeps it from crashing.
#include <windows.h>

#include "WriteDecimal.h"

#ifndef LZMA_API_STATIC
#define LZMA_API_STATIC
#endif
#include <lzma.h>

#include "core/StubTypes.h"

namespace {

[[noreturn]] void Fail(UINT code) { ExitProcess(code); }

void ReadExactly(HANDLE file, DWORD offset, void* buffer, DWORD count) {
  DWORD got = 0;
  if (SetFilePointer(file, (LONG)offset, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !ReadFile(file, buffer, count, &got, nullptr) || got != count)
    Fail(10);
}

bool GetVariable(const WCHAR* name, WCHAR* value) {
  return GetEnvironmentVariableW(name, value, MAX_PATH) - 1 < MAX_PATH - 1;
}

}  // namespace

extern "C" void __stdcall BenchEntry() {
  WCHAR launcherPath[MAX_PATH];
  if (!GetVariable(L"BENCH_LAUNCHER", launcherPath)) Fail(11);
  HANDLE launcher = CreateFileW(launcherPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  if (launcher == INVALID_HANDLE_VALUE) Fail(12);
  PackageLocator locator;
  PackageHeader header;
  ReadExactly(launcher, kPackageLocatorOffset, &locator, sizeof(locator));
  ReadExactly(launcher, locator.packageOffset, &header, sizeof(header));
  HANDLE heap = GetProcessHeap();
  uint8_t* block = (uint8_t*)HeapAlloc(heap, 0, header.payloadPackedSize);
  uint8_t* output = (uint8_t*)HeapAlloc(heap, 0, (SIZE_T)header.payloadSize);
  if (!block || !output) Fail(13);
  ReadExactly(launcher, header.payloadOffset, block, header.payloadPackedSize);
  CloseHandle(launcher);

  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, header.lzmaProperties, 5) != LZMA_OK)
    Fail(14);
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) Fail(15);
  stream.next_in = block;
  stream.avail_in = header.payloadPackedSize;
  stream.next_out = output;
  stream.avail_out = (size_t)header.payloadSize;
  lzma_ret ret = lzma_code(&stream, LZMA_RUN);
  if ((ret != LZMA_OK && ret != LZMA_STREAM_END) || stream.avail_out != 0) Fail(16);
  lzma_end(&stream);
  HeapFree(heap, 0, block);

  WCHAR copyPath[MAX_PATH];
  DWORD folderLength = GetTempPathW(MAX_PATH - 40, copyPath);
  if (folderLength == 0 || folderLength > MAX_PATH - 40) Fail(17);
  const WCHAR kName[] = L"bench-reference.tmp";
  for (DWORD i = 0; i < sizeof(kName) / sizeof(kName[0]); ++i) copyPath[folderLength + i] = kName[i];
  HANDLE copy = CreateFileW(copyPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (copy == INVALID_HANDLE_VALUE) Fail(18);
  DWORD written = 0;
  if (!WriteFile(copy, output, (DWORD)header.payloadSize, &written, nullptr) ||
      written != (DWORD)header.payloadSize)
    Fail(19);
  CloseHandle(copy);
  HeapFree(heap, 0, output);

  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  WCHAR stampPath[MAX_PATH];
  if (GetVariable(L"BENCH_STAMP", stampPath)) {
    HANDLE stamp = CreateFileW(stampPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stamp == INVALID_HANDLE_VALUE) Fail(20);
    WriteDecimal(stamp, (unsigned long long)now.QuadPart);
    CloseHandle(stamp);
  }
  // Held like stamp.exe so the driver reads the memory counters while the
  // process still exists.
  WCHAR stamped[MAX_PATH], release[MAX_PATH];
  if (GetVariable(L"BENCH_STAMPED", stamped) && GetVariable(L"BENCH_RELEASE", release)) {
    HANDLE stampedEvent = OpenEventW(EVENT_MODIFY_STATE, FALSE, stamped);
    HANDLE releaseEvent = OpenEventW(SYNCHRONIZE, FALSE, release);
    if (stampedEvent && releaseEvent) {
      SetEvent(stampedEvent);
      WaitForSingleObject(releaseEvent, 120000);
    }
  }
  DeleteFileW(copyPath);
  ExitProcess(0);
}
