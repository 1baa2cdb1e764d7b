// The whole run on the simulated machine, driven by a fuzzed argument
// vector, a fuzzed QUORDIR, fuzzed site files and a fuzzed choice of machine
// (service or manager application, Windows 9x, missing folders, a No
// answer, another run holding the guard). Whatever the input, the run ends
// with status 0, never reads past the argument vector (AddressSanitizer
// guards its end), writes only the program's own messages with their
// placeholders filled, and leaves no handle, heap block or module behind.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "app/run_control.h"
#include "platform/sim/machine.h"

namespace {

// Every message the program writes; "%s" stands for any text, "%d" for a
// signed decimal number.
const char* const kMessages[] = {
    ("\nQuordir is not defined in the system environment variables.\n"
     "Or the value set is not pointing to the correct QUORDIR.\n"
     "This patch has not completed, you will need to run this patch again after setting the QUORDIR."),
    "\n\n\t/? -Shows the command line arguments\n%s\n\t/S - Don't prompt for any messages\n",
    "\nAnother run of this patch is in progress on this machine: this run changed nothing. Run this patch again later.",
    "\nCould not make sure that no other run of this patch is in progress (error %d); this run goes on.",
    "\nThe guard against a second run (%s) was made by a program that is not this patch; this run goes on without it.",
    "\nTrying to remove debout file..",
    "\nFile left alone: %s (%s)",
    "\nCould not flush %s to disk (error %d)",
    "\nDebout file removed from %s",
    "\nDebout file could not be removed from %s (error %d)",
    "\nMarker file was not found",
    "\nSetting TimeZones for US/Canada part..",
    "\nSetTimeZones() for - %s, failed, RegOpenKeyEx() returned %d",
    "\nSetTimeZones() for - %s, RegSetValueEx() failed and returned %d",
    "\nSetTimeZonesForLocalMachine() -%s , SetTimeZones returned %d",
    "\nSetting TimeZones for US/Canada part.. succeeded\n",
    "\nSetting TimeZoneInfo part..",
    "\nSetting TimeZoneInfo part.. succeeded",
    "\nGetTimeZoneInformation failed (%d) ",
    "\nSetTimeZoneInformation failed (%d) ",
    "\nThe active time zone is not a US/Canada zone that observes daylight saving time; it was left unchanged.",
    "\nGetTimeZoneInformation returned - TIME_ZONE_ID_UNKNOWN",
    "\nGetTimeZoneInformation returned - TIME_ZONE_ID_STANDARD",
    "\nGetTimeZoneInformation returned -TIME_ZONE_ID_DAYLIGHT",
    "\nGetTimeZoneInformation returned  TIME_ZONE_ID_INVALID - Error-(%d)",
    "\nRetrieving Standard Time",
    "\nRetrieving Daylight Time",
    "\n%s in the TimeZone - %s",
    "\n%s in the TimeZone - %s\n",
    "\nUsing QUORDIR -  %s",
    "\nLoadNTServiceHelperFunctions(): Failed to load ADVAPI32.DLL",
    "\nLoadNTServiceHelperFunctions(): Failed to find needed functions in ADVAPI32.DLL",
    "\nTrying to stop the control server.",
    "\nTrying to start the control server.",
    "\nControl server stopped.",
    "\nControl server started.",
    "\nStopControlServer() - %s returned error %d",
    "\nStopControlServer() - Unable to stop the Hubsvc",
    "\nStartControlServer() - %s returned error %d",
    "\nStartControlServer() - Unable to start the Hubsvc",
    ("\nControl Server Service is not started. \n  Current State: %d\n  Exit Code: %d\n"
     "  Service Specific Exit Code: %d\n  Check Point: %d\n  Wait Hint: %d\n"),
    "\nThis patch has not completed, you will need to run this patch again.",
    "\nTrying to stop the Pelio Manager.",
    "\nSuccesfully stopped the Pelio Manager.",
    "\nTrying to start the Pelio Manager.",
    "\nCould not start Pelio Manager, please start the application manually",
    "\nRemoving Timezone.ini.. if exists",
    "\nTimezone.ini could not be removed: %s (error %d)",
    "\nModifying Pelio.ini.",
    "\nPelio.ini- File Not Found: %s",
    "\nPelio.ini- Unable to update: %s (error %d)",
    "\nSuccess",
};

bool Matches(const char* pattern, const char* text) {
  if (*pattern == '\0') {
    return *text == '\0';
  }
  if (pattern[0] == '%' && pattern[1] == 's') {
    for (const char* rest = text;; ++rest) {
      if (Matches(pattern + 2, rest)) {
        return true;
      }
      if (*rest == '\0') {
        return false;
      }
    }
  }
  if (pattern[0] == '%' && pattern[1] == 'd') {
    const char* digits = text + (*text == '-' ? 1 : 0);
    const char* end = digits;
    while (*end >= '0' && *end <= '9') {
      ++end;
    }
    return end > digits && Matches(pattern + 2, end);
  }
  return *pattern == *text && Matches(pattern + 1, text + 1);
}

bool IsOwnMessage(const std::string& text) {
  for (const char* message : kMessages) {
    if (Matches(message, text.c_str())) {
      return true;
    }
  }
  return false;
}

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
  machine.files.WriteFile("C:\\Site\\data\\pelio.ini", fields[1]);
  if ((c & 0x01) == 0) {
    machine.files.WriteFile("C:\\Site\\newdata\\pelio.ini", fields[2]);
  }
  if ((c & 0x02) == 0) {
    machine.files.MakeDirectory("C:\\Site\\tmp");
  }
  if ((c & 0x04) != 0) {
    machine.files.WriteFile("C:\\Site\\data\\timezone.ini", "[x]");
  }
  if ((c & 0x08) != 0) {
    machine.registry.SetString("HKCR\\AppID\\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614}", "LocalService", "HubSvc");
    machine.services.Install("HubSvc");
  }
  if ((c & 0x10) != 0) {
    sim::Behaviour manager;
    manager.windows = 1;
    machine.processes.Add("PelioMgr.exe", manager);
  }
  machine.processes.AddProgram("C:\\Site\\bin\\PelioMgr.exe");
  if ((c & 0x20) != 0) {
    machine.messageBoxes.answers = {win::IDNO};
  }
  if ((c & 0x40) != 0) {
    machine.version.platformId = win::VER_PLATFORM_WIN32_WINDOWS;
  }
  if ((c & 0x80) != 0) {
    machine.mutexes.HeldByAnotherProcess("Global\\dstpatch.run");
  }
  // The zone keys of both families: only one family's are looked for.
  for (const char* name : {"Alaskan", "Pacific", "Mountain", "Central", "Eastern", "Atlantic", "Newfoundland"}) {
    const std::vector<uint8_t> tzi(44);
    machine.registry.SetValue(std::string("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Time Zones\\") + name,
                              "TZI", win::REG_BINARY, tzi);
    machine.registry.SetValue(
        std::string("HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\") + name + " Standard Time",
        "TZI", win::REG_BINARY, tzi);
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
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

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
    if (!IsOwnMessage(machine.stdoutText.substr(starts[i], end - starts[i]))) {
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
