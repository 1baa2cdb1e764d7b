#include "app/os.h"

int GetOsPlatform() {
  win::OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = win::kOsVersionInfoExSize;
  if (!win::GetVersionExA(&info)) {
    info.dwOSVersionInfoSize = win::kOsVersionInfoSize;
    if (!win::GetVersionExA(&info)) {
      return 0;
    }
  }
  if (info.dwPlatformId == win::VER_PLATFORM_WIN32_WINDOWS) {
    return 1;
  }
  return info.dwPlatformId == win::VER_PLATFORM_WIN32_NT ? 2 : 0;
}

int ShowMessageBox(const std::string& text, win::UINT buttons) {
  char caption[1024] = {};
  win::GetModuleFileNameA(nullptr, caption, sizeof caption);
  return win::MessageBoxA(nullptr, text.c_str(), caption, buttons | win::MB_ICONEXCLAMATION);
}
