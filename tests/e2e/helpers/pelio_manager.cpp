// A stand-in for the site's manager application, for the end-to-end tests.
// Copied to <site root>\bin\PelioMgr.exe, it shows one top-level window and
// keeps a journal beside itself (<its path>.log), one line per event:
//   start <its command line, as the system passed it>
//   close                    (a WM_CLOSE reached its window)
//   end                      (it ends on its own)
// It prints "ready" once its window exists.
//
// The environment variable PELIOMGR_MODE chooses what it does:
//   close  (or unset) ends on WM_CLOSE, as a normal window program does;
//   ignore  stays open after WM_CLOSE, so that it has to be terminated;
//   exit    writes its start line and ends at once with status 0, without a
//           window (a quick restart for tests that do not need it running).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string journal;
bool ignoreClose = false;

void Record(const std::string& line) {
  HANDLE file = CreateFileA(journal.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  const std::string text = line + "\r\n";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      Record("close");
      if (!ignoreClose) {
        DestroyWindow(window);
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace

int main() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  journal = std::string(path) + ".log";
  Record(std::string("start ") + GetCommandLineA());

  char mode[16] = {};
  GetEnvironmentVariableA("PELIOMGR_MODE", mode, sizeof mode);
  if (std::strcmp(mode, "exit") == 0) {
    return 0;
  }
  ignoreClose = std::strcmp(mode, "ignore") == 0;

  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "PelioMgrTestWindow";
  (void)RegisterClassA(&windowClass);
  if (CreateWindowExA(0, windowClass.lpszClassName, "Pelio Manager (test)", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                      CW_USEDEFAULT, 320, 200, nullptr, nullptr, windowClass.hInstance, nullptr) == nullptr) {
    (void)std::printf("error %lu\n", GetLastError());
    return 1;
  }
  (void)std::printf("ready\n");
  (void)std::fflush(stdout);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  Record("end");
  return 0;
}
