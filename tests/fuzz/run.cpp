// The whole run on the simulated machine, driven by a fuzzed argument
// vector, a fuzzed QUORDIR, fuzzed site files and a fuzzed choice of machine
// (service or manager application, Windows 9x, missing folders, a No
// answer, another run holding the guard). Whatever the input, the run ends
// with status 0, never reads past the argument vector (AddressSanitizer
// guards its end), writes whole messages, and leaves no handle, heap block or module behind.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "app/run_control.h"
#include "platform/sim/machine.h"
#include "site/config_files.h"
#include "site/maintenance.h"
#include "site/service_control.h"
#include "tzrules/zone_table.h"

namespace {

const std::string kRoot = "C:\\Site";  // the site the fuzzed QUORDIR may name

// A console write as the program makes them: one whole message, never empty,
// never holding a zero byte (a message built past its text or its buffer).
bool IsWholeMessage(const std::string& text) { return !text.empty() && text.find('\0') == std::string::npos; }

// The fields of an input after its first byte (the machine choices),
// separated by zero bytes: QUORDIR, data\pelio.ini, newdata\pelio.ini, then
// the arguments.
std::vector<std::string> Fields(const uint8_t* data, size_t size) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size && fields.size() <= 64; ++i) {
    if (data[i] == 0) {
      fields.emplace_back();
    } else {
      fields.back() += static_cast<char>(data[i]);
    }
  }
  fields.resize(std::max<size_t>(fields.size(), 3));
  return fields;
}

void SetUpMachine(sim::Machine& machine, uint8_t c, const std::vector<std::string>& fields) {
  machine.environment["QUORDIR"] = fields[0];
  machine.files.WriteFile(kRoot + kDataPelioIni, fields[1]);
  if ((c & 0x01) == 0) {
    machine.files.WriteFile(kRoot + kNewdataPelioIni, fields[2]);
  }
  if ((c & 0x02) == 0) {
    machine.files.MakeDirectory(kRoot + "\\tmp");
  }
  if ((c & 0x04) != 0) {
    machine.files.WriteFile(kRoot + kDataTimezoneIni, "[x]");
  }
  if ((c & 0x08) != 0) {
    machine.registry.SetString(std::string("HKCR\\") + kRegistrationKey, "LocalService", "HubSvc");
    machine.services.Install("HubSvc");
  }
  if ((c & 0x10) != 0) {
    sim::Behaviour manager;
    manager.windows = 1;
    machine.processes.Add(kManagerName, manager);
  }
  machine.processes.AddProgram(kRoot + kManagerFolder + kManagerName);
  if ((c & 0x20) != 0) {
    machine.messageBoxes.answers = {win::IDNO};
  }
  if ((c & 0x40) != 0) {
    machine.version.platformId = win::VER_PLATFORM_WIN32_WINDOWS;
  }
  if ((c & 0x80) != 0) {
    machine.mutexes.HeldByAnotherProcess(
        machine.mutexes.NamespaceOfAnotherProcess("dstpatch", {sim::kAdministratorsSid}) + "\\run");
  }
  // The zone keys of both families: only one family's are looked for.
  for (int i = 0; i < kZoneCount; ++i) {
    for (const bool windows9x : {false, true}) {
      machine.registry.SetValue("HKLM\\" + TimeZonesKeyPrefix(windows9x) + ZoneKeyName(i, windows9x), "TZI",
                                win::REG_BINARY, std::vector<uint8_t>(kTziSize));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::vector<std::string> fields = Fields(data + 1, size - 1);
  sim::Machine machine;
  SetUpMachine(machine, data[0], fields);

  // The argument vector as a C runtime gives it: exactly argc elements and
  // a null after them, so that any read beyond is caught.
  std::vector<std::string> arguments = {machine.exePath};
  arguments.insert(arguments.end(), fields.begin() + 3, fields.end());
  std::vector<char*> argv(arguments.size() + 1);
  std::transform(arguments.begin(), arguments.end(), argv.begin(), [](std::string& a) { return a.data(); });

  ResetProcessState();
  unsigned status = 1;
  try {
    DstPatchMain(static_cast<int>(arguments.size()), argv.data());
  } catch (const sim::ProcessExit& exit) {
    status = exit.code;
  }
  ResetProcessState();

  if (status != 0) {
    std::abort();  // every run ends with status 0, through ExitProcess
  }
  const auto& starts = machine.stdoutWriteStarts;
  for (size_t i = 0; i < starts.size(); ++i) {
    const size_t end = i + 1 < starts.size() ? starts[i + 1] : machine.stdoutText.size();
    if (!IsWholeMessage(machine.stdoutText.substr(starts[i], end - starts[i]))) {
      std::abort();
    }
  }
  // The bound status entry keeps its library loaded, by design; nothing else.
  if (!machine.handles.Open().empty() || machine.heap.Blocks() != 0 ||
      machine.modules.TotalLoads() > machine.modules.Loads("advapi32.dll") ||
      machine.modules.Loads("advapi32.dll") > 1) {
    std::abort();
  }
  return 0;
}
