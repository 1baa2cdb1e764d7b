// Test helper: stands in for Windows tools that Wine lacks or only pretends
// to have, copied over them in the system folder by the roll-out tests.
// Appends its current folder and command line ("FOLDER> LINE") to the file
// named by DSTPATCH_TOOL_LOG, when set, then answers as fsutil does:
//   hardlink list NAME      one line per name of the file, each beginning
//                           with a backslash (exit 0); exit 1 when it cannot
//                           be opened
//   reparsepoint query NAME exit 0 for a reparse point, 1 for anything else
//   dirty query DRIVE       exit 0, or 1 ("administrative privileges") when
//                           DSTPATCH_TOOL_DENIED is set
// Any other command line (icacls, eventcreate) exits with the number in
// DSTPATCH_TOOL_STATUS (default 0).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void log_call() {
  const char* log = std::getenv("DSTPATCH_TOOL_LOG");
  std::FILE* file = log != nullptr ? std::fopen(log, "ab") : nullptr;
  if (file == nullptr) {
    return;
  }
  char folder[MAX_PATH] = "";
  (void)GetCurrentDirectoryA(sizeof folder, folder);
  (void)std::fprintf(file, "%s> %s\r\n", folder, GetCommandLineA());
  (void)std::fclose(file);
}

bool is(const char* argument, const char* word) { return argument != nullptr && _stricmp(argument, word) == 0; }

int list_links(const char* name) {
  HANDLE file = CreateFileA(name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info) != 0;
  if (file != INVALID_HANDLE_VALUE) {
    (void)CloseHandle(file);
  }
  if (!known) {
    return 1;
  }
  (void)std::printf("\\%s\n", name);
  for (DWORD i = 1; i < info.nNumberOfLinks; ++i) {
    (void)std::printf("\\another name %lu\n", static_cast<unsigned long>(i));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  log_call();
  const char* verb = argc > 2 ? argv[1] : nullptr;
  const char* action = argc > 2 ? argv[2] : nullptr;
  if (is(verb, "hardlink") && is(action, "list") && argc > 3) {
    return list_links(argv[3]);
  }
  if (is(verb, "reparsepoint") && is(action, "query") && argc > 3) {
    const DWORD attributes = GetFileAttributesA(argv[3]);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? 0 : 1;
  }
  if (is(verb, "dirty") && is(action, "query")) {
    return std::getenv("DSTPATCH_TOOL_DENIED") != nullptr ? 1 : 0;  // the undo reads the status only
  }
  const char* status = std::getenv("DSTPATCH_TOOL_STATUS");
  return status != nullptr ? std::atoi(status) : 0;
}
