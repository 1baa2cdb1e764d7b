// Test helper: holds a file open so that other programs meet a sharing
// violation or a partial share.
//
//   file_locker.exe PATH [SHARE]
//
// SHARE is "none" (the default) or any of the letters r, w and d for
// FILE_SHARE_READ, FILE_SHARE_WRITE and FILE_SHARE_DELETE. The file must
// exist. Once it is held the helper prints "locked" on standard output; it
// then holds the file until its standard input reaches end of file or it is
// killed. When the file cannot be opened it prints "error CODE" and exits 1.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

bool ParseShare(const char* text, DWORD* share) {
  *share = 0;
  if (std::strcmp(text, "none") == 0) {
    return true;
  }
  for (const char* p = text; *p != '\0'; ++p) {
    switch (*p) {
      case 'r':
        *share |= FILE_SHARE_READ;
        break;
      case 'w':
        *share |= FILE_SHARE_WRITE;
        break;
      case 'd':
        *share |= FILE_SHARE_DELETE;
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  DWORD share = 0;
  if (argc < 2 || argc > 3 || (argc == 3 && !ParseShare(argv[2], &share))) {
    (void)std::fprintf(stderr, "usage: file_locker PATH [none|rwd]\n");
    return 2;
  }
  HANDLE file =
      CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
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
