// Test helper: answers the message boxes that other programs show (under
// Wine's null graphics driver a message box waits for an answer).
//
//   box_answerer.exe BUTTON...
//
// Prints "ready", then for each BUTTON (a button id: 1 OK, 6 Yes, 7 No) waits
// up to 20 s for a message box (a visible top-level window of class #32770),
// prints "caption: <its caption>" and "text: <its text>" on standard output,
// presses BUTTON and waits for the box to close. Exits 0 when every box was
// answered, 1 when one did not come or did not close.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
  char name[16] = {};
  if (IsWindowVisible(window) && GetClassNameA(window, name, sizeof name) > 0 && std::string(name) == "#32770") {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

std::string WindowText(HWND window) {
  std::string text(static_cast<size_t>(GetWindowTextLengthA(window)) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

HWND WaitForBox() {
  for (int step = 0; step < 400; ++step) {
    HWND box = nullptr;
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&box));
    if (box != nullptr) {
      return box;
    }
    Sleep(50);
  }
  return nullptr;
}

bool WaitForClose(HWND box) {
  for (int step = 0; step < 200 && IsWindow(box); ++step) {
    Sleep(50);
  }
  return !IsWindow(box);
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("ready\n");
  (void)std::fflush(stdout);
  for (int i = 1; i < argc; ++i) {
    HWND box = WaitForBox();
    if (box == nullptr) {
      std::printf("no message box\n");
      return 1;
    }
    // The message is the static control of the box's fixed id.
    std::printf("caption: %s\ntext: %s\n", WindowText(box).c_str(), WindowText(GetDlgItem(box, 0xFFFF)).c_str());
    (void)std::fflush(stdout);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(std::atoi(argv[i]), BN_CLICKED), 0);
    if (!WaitForClose(box)) {
      std::printf("message box did not close\n");
      return 1;
    }
  }
  return 0;
}
