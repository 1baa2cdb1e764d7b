// Test helper: sets TIMEZONE=INTL in section QUORTECH of each file named,
// with Windows' own profile call, as a reference for the bytes the patch
// writes.
//
//   profile_writer.exe PATH...
//
// Prints "ok" or "error CODE" for each file, in order; exits 1 when any
// write failed.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    if (WritePrivateProfileStringA("QUORTECH", "TIMEZONE", "INTL", argv[i])) {
      (void)std::printf("ok\n");
    } else {
      (void)std::printf("error %lu\n", GetLastError());
      status = 1;
    }
  }
  return status;
}
