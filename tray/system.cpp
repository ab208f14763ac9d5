// What the program shows the user through the wide API, and where it loads DLLs from.
#include "texts.h"
#include "tray.h"

namespace {
constexpr int MESSAGE_MAX = 4096;
constexpr int CAPTION_MAX = TOOLTIP_SIZE;
}  // namespace

int show_message(HWND owner, const char* text_1252, const char* caption, UINT style) {
  wchar_t text[MESSAGE_MAX];
  cp1252_to_utf16(text_1252, reinterpret_cast<char16_t*>(text), MESSAGE_MAX);
  wchar_t wide_caption[CAPTION_MAX];
  if (MultiByteToWideChar(CP_ACP, 0, caption, -1, wide_caption, CAPTION_MAX) == 0) wide_caption[0] = L'\0';
  return MessageBoxW(owner, text, wide_caption, style);
}

void append_menu_item(HMENU menu, UINT flags, UINT id, const char* text_1252) {
  wchar_t text[64];
  cp1252_to_utf16(text_1252, reinterpret_cast<char16_t*>(text), 64);
  AppendMenuW(menu, flags, id, text);
}

HMODULE load_system_library(const wchar_t* name) {
  if (HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return module;
  // Windows 7 without the update that brought LOAD_LIBRARY_SEARCH_SYSTEM32: a full path does the same.
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + 1 + lstrlenW(name) >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  lstrcpyW(path + length + 1, name);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void restrict_dll_search() {
  // Looked up rather than imported, so that the program still starts where it is missing.
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  auto set_default_dll_directories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (set_default_dll_directories) set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
