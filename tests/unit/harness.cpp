#include "tests/unit/harness.h"

#include <algorithm>

#include "app/process_state.h"
#include "app/run_control.h"
#include "app/run_log.h"
#include "site/config_files.h"
#include "site/maintenance.h"
#include "site/service_control.h"
#include "tzrules/zone_table.h"

const std::string kAppIdKey = std::string("HKCR\\") + kRegistrationKey;

int RunProgram(sim::Machine& machine, const std::vector<std::string>& args) {
  ResetProcessState();
  std::vector<std::string> storage = {machine.exePath};
  storage.insert(storage.end(), args.begin(), args.end());
  const auto program = [&storage]() -> win::UINT {
    std::vector<char*> argv(storage.size() + 1);  // a null after the last, as a C runtime gives it
    std::transform(storage.begin(), storage.end(), argv.begin(), [](std::string& arg) { return arg.data(); });
    try {
      DstPatchMain(static_cast<int>(storage.size()), argv.data());
    } catch (const sim::ProcessExit& exit) {
      return exit.code;
    }
    ADD_FAILURE() << "the program returned without ending the process";
    return 0xFFFFFFFF;
  };
  if (!machine.killAtCall) {
    return static_cast<int>(program());
  }
  const std::optional<win::UINT> code = machine.RunKillable(program);
  if (!code) {
    machine.EndKilledProcess();
    return kKilledExitCode;
  }
  return static_cast<int>(*code);
}

std::string NtZoneKey(const std::string& keyName) { return "HKLM\\" + TimeZonesKeyPrefix(false) + keyName; }

std::string ZoneKey(int index, bool windows9x) {
  return "HKLM\\" + TimeZonesKeyPrefix(windows9x) + ZoneKeyName(index, windows9x);
}

void SeedOldZones(sim::Machine& machine, bool windows9x) {
  for (int i = 0; i < kZoneCount; ++i) {
    machine.registry.SetValue(ZoneKey(i, windows9x), "TZI", win::REG_BINARY, OldTzi(ZoneRecord(i).bias));
    machine.registry.SetString(ZoneKey(i, windows9x), "Std", GetZoneName(i) + " Standard Time");
  }
}

std::vector<uint8_t> OldTzi(int32_t bias) {
  // Bias, standard bias 0, daylight bias -60; standard time from the last
  // (5th) Sunday of October, daylight time from the first Sunday of April.
  std::vector<uint8_t> tzi = {0, 0, 0, 0, 0, 0, 0, 0, 0xC4, 0xFF, 0xFF, 0xFF, 0, 0, 10, 0, 0, 0, 5, 0, 2, 0,
                              0, 0, 0, 0, 0, 0, 0, 0, 4,    0,    0,    0,    1, 0, 2,  0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    tzi[i] = static_cast<uint8_t>(static_cast<uint32_t>(bias) >> (8 * i));
  }
  return tzi;
}

std::string Crlf(std::string text) {
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) {
    text.insert(at, "\r");
  }
  return text;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void ExpectNothingLeftOpen(const sim::Machine& machine) {
  EXPECT_EQ(machine.handles.Open(), std::vector<std::string>{});
  EXPECT_EQ(machine.heap.Blocks(), 0u);
  EXPECT_EQ(machine.modules.TotalLoads(), machine.modules.Loads("advapi32.dll"));
}

SiteTest::SiteTest() {
  ResetProcessState();
  machine.files.WriteFile(root + kDataPelioIni, "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n");
  machine.files.MakeDirectory(root + "\\tmp");
  machine.environment["QUORDIR"] = root;
  SeedZones();
  AddShell(machine);
}

std::string SiteTest::SiteLog() const { return machine.files.ReadFile(root + kSiteRunLog).value_or("<no run log>"); }

sim::Process& AddShell(sim::Machine& machine, const std::string& user, win::DWORD session, win::DWORD elevationType) {
  sim::Behaviour behaviour;
  behaviour.windows = 1;
  sim::Process& shell = machine.processes.Add("explorer.exe", behaviour);
  shell.path = "C:\\Windows\\explorer.exe";
  shell.user = user;
  shell.session = session;
  shell.elevationType = elevationType;
  shell.shell = true;
  return shell;
}

void SiteTest::TearDown() {
  ResetProcessState();  // closes a run log that the test opened itself
  ExpectNothingLeftOpen(machine);
}

void SiteTest::WritePelioFiles(const std::string& content) {
  machine.files.WriteFile(root + kDataPelioIni, content);
  machine.files.WriteFile(root + kNewdataPelioIni, content);
}

sim::ScriptedService& SiteTest::InstallHub(bool registered) {
  if (registered) {
    machine.registry.SetString(kAppIdKey, "LocalService", "HubSvc");
  }
  return machine.services.Install("HubSvc");
}

sim::Process& SiteTest::RunningManager(sim::Behaviour::OnClose onClose) {
  sim::Behaviour behaviour;
  behaviour.windows = 1;
  behaviour.onClose = onClose;
  sim::Process& manager = machine.processes.Add(kManagerName, behaviour);
  manager.path = root + kManagerFolder + kManagerName;
  return manager;
}

void SiteTest::InstallManager(const std::string& siteRoot, std::optional<win::DWORD> runFor) {
  sim::Behaviour behaviour;
  behaviour.runFor = runFor;
  behaviour.exitCode = 3;  // its own error, which the patch does not examine
  machine.processes.AddProgram(siteRoot + kManagerFolder + kManagerName, behaviour);
}
