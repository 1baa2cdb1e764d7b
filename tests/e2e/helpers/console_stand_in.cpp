// Test helper: stands in for dstpatch.exe in tests of the roll-out scripts.
// Writes the bytes of the file named by the environment variable
// DSTPATCH_STAND_IN_OUTPUT to standard output as they are, and exits with
// status 0; exits 1 when that file cannot be read.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>

int main() {
  const char* path = std::getenv("DSTPATCH_STAND_IN_OUTPUT");
  std::FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    (void)std::fprintf(stderr, "console_stand_in: cannot read DSTPATCH_STAND_IN_OUTPUT\n");
    return 1;
  }
  (void)_setmode(_fileno(stdout), _O_BINARY);
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    (void)std::fwrite(buffer, 1, got, stdout);
  }
  (void)std::fclose(file);
  return 0;
}
