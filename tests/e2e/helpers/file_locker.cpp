// Test helper: holds a file open without sharing, so that other programs
// meet a sharing violation; or owns a named mutex made with the default
// security, as an ordinary user squatting on the name would.
//
//   file_locker.exe PATH
//   file_locker.exe --mutex NAME
//
// The file must exist. Once it is held the helper prints "locked" on
// standard output; it then holds the file until its standard input reaches
// end of file or it is killed. When the file cannot be opened it prints
// "error CODE" and exits 1.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  const bool mutex = argc == 3 && std::strcmp(argv[1], "--mutex") == 0;
  HANDLE file = mutex ? CreateMutexA(nullptr, TRUE, argv[2])
                      : CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == nullptr || file == INVALID_HANDLE_VALUE) {
    (void)std::printf("error %lu\n", GetLastError());
    return 1;
  }
  (void)std::printf("locked\n");
  (void)std::fflush(stdout);

  // Hold the file until standard input ends (closed pipe, end of file or no
  // input at all).
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[256];
  DWORD got = 0;
  while (input != nullptr && input != INVALID_HANDLE_VALUE && ReadFile(input, buffer, sizeof buffer, &got, nullptr) &&
         got > 0) {
  }
  CloseHandle(file);
  return 0;
}
