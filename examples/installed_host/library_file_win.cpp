#include <windows.h>

#include <string>
#include <vector>

#include "library_file.h"

std::string LoadedLibraryPath(const void* exported_function) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<const char*>(exported_function), &module)) {
    return {};
  }
  char path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::string(path, length);
}

std::string LibraryFileVersion(const std::string& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return {};

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &fixed_size) || fixed == nullptr ||
      fixed->dwSignature != VS_FFI_SIGNATURE) {
    return {};
  }
  if (fixed->dwFileVersionMS != fixed->dwProductVersionMS || fixed->dwFileVersionLS != fixed->dwProductVersionLS) {
    return {};
  }
  std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                        std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                        std::to_string(HIWORD(fixed->dwFileVersionLS));

  char* text = nullptr;
  UINT text_size = 0;
  if (!VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\ProductVersion", reinterpret_cast<void**>(&text),
                      &text_size) ||
      text == nullptr || numbers != text) {
    return {};
  }
  return numbers;
}
