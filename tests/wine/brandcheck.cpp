// SPDX-License-Identifier: 0BSD
// brandcheck FILE: reads a file's branding the way Explorer does, and prints
// it as one JSON line: the version resource through GetFileVersionInfoW and
// VerQueryValueW (translation, both fixed versions, each string), and the
// first icon group through LoadLibraryExW(LOAD_LIBRARY_AS_DATAFILE), each of
// its images looked up by size and loaded as an icon.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text, int length = -1) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? bytes : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], bytes, nullptr, nullptr);
  if (length < 0 && !out.empty()) out.pop_back();
  return out;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += (char)c;
    }
  }
  return out + "\"";
}

std::string Version(DWORD ms, DWORD ls) {
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (unsigned)HIWORD(ms), (unsigned)LOWORD(ms),
                (unsigned)HIWORD(ls), (unsigned)LOWORD(ls));
  return text;
}

std::string VersionJson(const wchar_t* path) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (!size) return "null";
  std::vector<BYTE> data(size);
  if (!GetFileVersionInfoW(path, 0, size, data.data())) return "null";
  std::string out = "{";
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(data.data(), L"\\", (void**)&fixed, &length) && length >= sizeof *fixed)
    out += "\"file_version\": " + Json(Version(fixed->dwFileVersionMS, fixed->dwFileVersionLS)) +
           ", \"product_version\": " +
           Json(Version(fixed->dwProductVersionMS, fixed->dwProductVersionLS)) + ", ";
  WORD* translation = nullptr;
  if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", (void**)&translation,
                      &length) || length < 4)
    return out + "\"translation\": null}";
  char key[16];
  std::snprintf(key, sizeof key, "%04X%04X", translation[0], translation[1]);
  out += "\"translation\": " + Json(key) + ", \"strings\": {";
  static const wchar_t* const kNames[] = {
      L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName", L"LegalCopyright",
      L"OriginalFilename", L"ProductName", L"ProductVersion"};
  bool first = true;
  for (const wchar_t* name : kNames) {
    wchar_t query[128];
    swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
    wchar_t* value = nullptr;
    if (!VerQueryValueW(data.data(), query, (void**)&value, &length) || !value) continue;
    out += std::string(first ? "" : ", ") + Json(Utf8(name)) + ": " + Json(Utf8(value));
    first = false;
  }
  return out + "}}";
}

BOOL CALLBACK FirstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) {
  *(LPWSTR*)found = IS_INTRESOURCE(name) ? name : _wcsdup(name);
  return FALSE;
}

#pragma pack(push, 2)
struct GroupEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

std::string IconsJson(const wchar_t* path) {
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return "null";
  LPWSTR groupName = nullptr;
  EnumResourceNamesW(module, RT_GROUP_ICON, FirstName, (LONG_PTR)&groupName);
  HRSRC group = groupName ? FindResourceW(module, groupName, RT_GROUP_ICON) : nullptr;
  BYTE* directory = group ? (BYTE*)LockResource(LoadResource(module, group)) : nullptr;
  if (!directory) {
    FreeLibrary(module);
    return "null";
  }
  const WORD count = *(WORD*)(directory + 4);
  const GroupEntry* entries = (const GroupEntry*)(directory + 6);
  std::string out = "[";
  for (WORD i = 0; i < count; ++i) {
    const int width = entries[i].width ? entries[i].width : 256;
    const int height = entries[i].height ? entries[i].height : 256;
    // The way the shell picks an image for a size: by the group directory.
    const int id = LookupIconIdFromDirectoryEx(directory, TRUE, width, height, LR_DEFAULTCOLOR);
    HRSRC image = id ? FindResourceW(module, MAKEINTRESOURCEW(id), RT_ICON) : nullptr;
    BYTE* bits = image ? (BYTE*)LockResource(LoadResource(module, image)) : nullptr;
    HICON icon = bits ? CreateIconFromResourceEx(bits, SizeofResource(module, image), TRUE,
                                                 0x00030000, width, height, LR_DEFAULTCOLOR)
                      : nullptr;
    BITMAP bitmap = {};
    ICONINFO info = {};
    if (icon && GetIconInfo(icon, &info)) {
      GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
      if (info.hbmColor) DeleteObject(info.hbmColor);
      if (info.hbmMask) DeleteObject(info.hbmMask);
    }
    if (icon) DestroyIcon(icon);
    char item[200];
    std::snprintf(item, sizeof item,
                  "%s{\"size\": [%d, %d], \"bit_count\": %u, \"id\": %d, \"loaded\": %s, "
                  "\"loaded_size\": [%ld, %ld]}",
                  i ? ", " : "", width, height, (unsigned)entries[i].bitCount, id,
                  icon ? "true" : "false", (long)bitmap.bmWidth, (long)bitmap.bmHeight);
    out += item;
  }
  FreeLibrary(module);
  return out + "]";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: brandcheck FILE\n");
    return 2;
  }
  std::string report = "{\"version\": " + VersionJson(argv[1]) +
                       ", \"icons\": " + IconsJson(argv[1]) + "}";
  std::printf("%s\n", report.c_str());
  return 0;
}
