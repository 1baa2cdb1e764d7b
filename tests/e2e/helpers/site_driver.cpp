// Test helper: runs the patch's own site operations on the real Windows calls,
// with the run log set up as dstpatch.exe sets it up, so that end-to-end tests
// can drive them one by one.
//
//   site_driver.exe ROOT STEP...
//
// STEP is one of load, isservice, stop, start, removetz, modifypelio. The
// operations' messages go to standard output (and the run log at
// ROOT\tmp\debGorvinal.txt) exactly as the patch writes them; the result of
// each step goes to standard error as "STEP=0" or "STEP=1", one per line.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/run_log.h"
#include "site/config_files.h"
#include "site/service_control.h"

namespace {

bool RunStep(const std::string& step, const std::string& root, bool* known) {
  *known = true;
  if (step == "load") {
    return LoadNTServiceHelperFunctions();
  }
  if (step == "isservice") {
    return IsControlServerService();
  }
  if (step == "stop") {
    return StopControlServer();
  }
  if (step == "start") {
    return StartControlServer();
  }
  if (step == "removetz") {
    RemoveTimezoneIni(root);
    return true;
  }
  if (step == "modifypelio") {
    return ModifyPelioIni(root);
  }
  *known = false;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    (void)std::fprintf(stderr, "usage: site_driver ROOT STEP...\n");
    return 2;
  }
  const std::string root = argv[1];
  OpenRunLog(root + "\\tmp\\debGorvinal.txt");
  for (int i = 2; i < argc; ++i) {
    bool known = false;
    const bool result = RunStep(argv[i], root, &known);
    if (!known) {
      (void)std::fprintf(stderr, "unknown step %s\n", argv[i]);
      CloseLogAndExit(2);
    }
    (void)std::fflush(stdout);
    (void)std::fprintf(stderr, "%s=%d\n", argv[i], result ? 1 : 0);
  }
  CloseLogAndExit(0);
}
