// Test helper: sets TIMEZONE=INTL in section QUORTECH of each file named,
// with Windows' own profile call, as a reference for the bytes the patch
// writes.
//
//   profile_writer.exe PATH...
//
// Exits with the error code of the first write that failed, else 0.
#include <windows.h>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!WritePrivateProfileStringA("QUORTECH", "TIMEZONE", "INTL", argv[i])) {
      return static_cast<int>(GetLastError());
    }
  }
  return 0;
}
