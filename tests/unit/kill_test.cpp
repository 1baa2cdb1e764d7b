// A run that dies part-way, killed at any one of its platform calls (a
// distribution tool's time-out, a power cut), is mended by running the patch
// again: the machine then equals one uninterrupted run.
#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "app/process_state.h"
#include "app/run_control.h"
#include "app/run_log.h"
#include "site/config_files.h"
#include "site/maintenance.h"
#include "tests/unit/harness.h"
#include "tzrules/zone_table.h"

namespace {

const std::string kRoot = "C:\\Site";
const std::string kPelio = "; site settings\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\nSTORE=12\r\n[PRINTER]\r\nPORT=LPT1\r\n";

// What a run leaves that matters: zone records, active zone, site files,
// control server, and what the process still holds.
struct Outcome {
  std::vector<std::vector<uint8_t>> zones;
  std::vector<uint8_t> activeZone;
  std::optional<std::string> data, newdata;
  bool timezoneIni = false;
  win::DWORD service = 0;  // the state HubSvc last reported; 0 in application mode
  size_t managers = 0;     // PelioMgr.exe processes running
  std::string lastLine;
  std::vector<std::string> openHandles;
  size_t heapBlocks = 0;
  int libraries = 0;  // load references beyond the one the bound status query keeps
  bool guardFree = false;

  auto Tied() const {
    return std::tie(zones, activeZone, data, newdata, timezoneIni, service, managers, lastLine, openHandles, heapBlocks,
                    libraries, guardFree);
  }
  bool operator==(const Outcome& o) const { return Tied() == o.Tied(); }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  out << "zones:";
  for (const auto& tzi : o.zones) {
    out << " " << tzi.size() << "B/" << (tzi.size() > 20 ? int{tzi[20]} : -1);
  }
  return out << " data=" << o.data.value_or("-") << " newdata=" << o.newdata.value_or("-")
             << " timezone.ini=" << o.timezoneIni << " service=" << o.service << " managers=" << o.managers
             << " last line=" << o.lastLine << " handles=" << o.openHandles.size() << " heap=" << o.heapBlocks
             << " libraries=" << o.libraries << " guard free=" << o.guardFree;
}

struct Scenario {
  const char* name;
  bool serviceMode;
};

// A machine with the old zone rules, an active Eastern zone with them, and a
// site whose control server runs: HubSvc (taking a few status queries to stop
// and to start), or the manager application with a window.
class Site {
 public:
  explicit Site(bool serviceMode) {
    for (const char* dir : {"\\data", "\\newdata"}) {
      machine.files.WriteFile(kRoot + dir + "\\pelio.ini", kPelio);
      machine.files.WriteFile(kRoot + dir + "\\timezone.ini", "[TZ]\r\n");
    }
    machine.files.MakeDirectory(kRoot + "\\tmp");
    machine.environment["QUORDIR"] = kRoot;
    SeedOldZones(machine);
    machine.timeZone.Set(300, "Eastern Standard Time", "Eastern Daylight Time", "Eastern Standard Time",
                         win::SYSTEMTIME{0, 10, 0, 5, 2, 0, 0, 0}, win::SYSTEMTIME{0, 4, 0, 1, 2, 0, 0, 0});
    sim::Behaviour manager;
    manager.windows = 1;
    machine.processes.AddProgram(kRoot + kManagerFolder + kManagerName, manager);
    AddShell(machine);
    if (serviceMode) {
      machine.registry.SetString(kAppIdKey, "LocalService", "HubSvc");
      hub = &machine.services.Install("HubSvc");
      hub->afterStop = {sim::Status(win::SERVICE_STOP_PENDING, 1, 1000),
                        sim::Status(win::SERVICE_STOP_PENDING, 2, 1000), sim::Status(win::SERVICE_STOPPED)};
      hub->afterStart = {sim::Status(win::SERVICE_START_PENDING, 1, 2000), sim::Status(win::SERVICE_RUNNING)};
    } else {
      sim::Behaviour running;
      running.windows = 1;
      running.onClose = sim::Behaviour::OnClose::EndAfterDelay;
      running.closeDelay = 300;
      machine.processes.Add(kManagerName, running).path = kRoot + kManagerFolder + kManagerName;
    }
  }

  int Run() { return RunProgram(machine, {"/CHANGEREGVALS", "/CHANGEBOHVALS", "/S"}); }

  // Ends the run's process (closing what it holds) and reads the machine.
  Outcome End() {
    const std::string log = machine.files.ReadFile(kRoot + kSiteRunLog).value_or("");
    ResetProcessState();
    Outcome o;
    for (int i = 0; i < kZoneCount; ++i) {
      const auto tzi = machine.registry.GetValue(ZoneKey(i), "TZI");
      o.zones.push_back(tzi ? tzi->data : std::vector<uint8_t>{});  // a lost key shows as an empty record
    }
    const auto& zone = machine.timeZone.settings;
    const auto* dates = reinterpret_cast<const uint8_t*>(&zone.StandardDate);
    o.activeZone.assign(dates, dates + sizeof zone.StandardDate);
    dates = reinterpret_cast<const uint8_t*>(&zone.DaylightDate);
    o.activeZone.insert(o.activeZone.end(), dates, dates + sizeof zone.DaylightDate);
    o.data = machine.files.ReadFile(kRoot + kDataPelioIni);
    o.newdata = machine.files.ReadFile(kRoot + kNewdataPelioIni);
    o.timezoneIni = machine.files.Exists(kRoot + kDataTimezoneIni) || machine.files.Exists(kRoot + kNewdataTimezoneIni);
    o.service = hub == nullptr ? 0 : hub->Current().state;
    for (const sim::Process* p : machine.processes.Named(kManagerName)) {
      o.managers += p->running ? 1 : 0;
    }
    o.lastLine = log.substr(log.rfind('\n') + 1);
    o.openHandles = machine.handles.Open();
    o.heapBlocks = machine.heap.Blocks();
    o.libraries = machine.modules.TotalLoads() - machine.modules.Loads("advapi32.dll");
    o.guardFree = std::none_of(machine.mutexes.named.begin(), machine.mutexes.named.end(),
                               [](const auto& named) { return named.second.owned > 0; });
    return o;
  }

  sim::Machine machine;
  sim::ScriptedService* hub = nullptr;
};

class KillTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(KillTest, RunAgainAfterAKillAtAnyCallEqualsOneRun) {
  const bool serviceMode = GetParam().serviceMode;
  size_t calls = 0;
  Outcome once;
  std::vector<std::string> made;  // the calls, by number
  {
    Site site(serviceMode);
    ASSERT_EQ(site.Run(), 0);
    calls = site.machine.platformCalls;
    made = site.machine.calls;
    once = site.End();
  }
  // One uninterrupted run: everything changed, the control server running.
  ASSERT_EQ(once.data, "; site settings\r\n[QUORTECH]\r\nTIMEZONE=INTL\r\nSTORE=12\r\n[PRINTER]\r\nPORT=LPT1\r\n");
  ASSERT_EQ(once.newdata, once.data);
  ASSERT_FALSE(once.timezoneIni);
  ASSERT_EQ(once.service, serviceMode ? win::SERVICE_RUNNING : 0);
  ASSERT_EQ(once.managers, serviceMode ? 0u : 1u);
  ASSERT_EQ(once.lastLine, "Success");
  ASSERT_TRUE(once.openHandles.empty() && once.heapBlocks == 0 && once.libraries == 0 && once.guardFree);
  ASSERT_GT(calls, 100u);

  for (size_t at = 0; at < calls; ++at) {
    Site site(serviceMode);
    site.machine.killAtCall = at;
    EXPECT_EQ(site.Run(), kKilledExitCode) << "call " << at;
    EXPECT_EQ(site.Run(), 0) << "call " << at;
    // Killed once a pelio.ini's new bytes are written over the old ones and
    // before its end is set, the file keeps the last bytes of the longer old
    // file after them (here its last line feed), as a power cut there would;
    // the run again finds the value set. Windows' own profile call has the
    // same moment within it.
    Outcome expected = once;
    for (auto [folder, file] : {std::pair{kDataPelioIni, &expected.data}, {kNewdataPelioIni, &expected.newdata}}) {
      if (made[at] == "SetEndOfFile(" + kRoot + folder + ")") {
        *file = *once.data + kPelio.substr(once.data->size());
      }
    }
    EXPECT_EQ(site.End(), expected) << "killed at call " << at << " (" << made[at] << ") of " << calls;
  }
}

// Every file of the machine outside the site, and its bytes.
std::map<std::string, std::string> Outside(const sim::Machine& machine) {
  std::map<std::string, std::string> found;
  const std::filesystem::path root(machine.files.Root());
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string name = entry.path().lexically_relative(root).string();
    if (name.rfind("C/site", 0) != 0) {
      std::ifstream in(entry.path(), std::ios::binary);
      found[name] = entry.is_regular_file() ? std::string(std::istreambuf_iterator<char>(in), {}) : "folder";
    }
  }
  return found;
}

// The calls whose failure the run may pass over without a line that names
// the code, by name or by name and object, and why.
const std::map<std::string, const char*> kSilent = {
    {"GetVersionExA", "a failed query takes the NT road (family 0), which is this machine's own"},
    {"GetModuleHandleA", "a library that is not loaded is a Windows without it: the run takes its road for that"},
    {"GetProcAddress", "an entry point that cannot be had is a Windows without it: the run takes its road for that"},
    {"LoadLibraryA(ADVAPI32.DLL)", "its fixed line, LoadNTServiceHelperFunctions(): Failed to load ADVAPI32.DLL"},
    {"SetDllDirectoryA", "a Windows without it keeps its search; every library loaded later is named by its path"},
    {"SetDefaultDllDirectories", "as SetDllDirectoryA"},
    {"GetEnvironmentVariableA", "a variable that cannot be read is one not set: the invalid-root message says so"},
    {"ConvertStringSecurityDescriptorToSecurityDescriptorA(O:BAD:(A;;GA;;;SY)(A;;GA;;;BA))",
     "the guard then has the default security of an administrator's object, as on NT 4"},
    {"CreateBoundaryDescriptorW", "the guard is then made in Global\\, as before Vista"},
    {"AddSIDToBoundaryDescriptor", "as CreateBoundaryDescriptorW"},
    {"CreatePrivateNamespaceA", "as CreateBoundaryDescriptorW"},
    {"OpenProcessToken",
     "a privilege not enabled: what needs it fails and says so; a manager's token not taken: "
     "the session user's serves"},
    {"LookupPrivilegeValueA", "a privilege not enabled: what needs it fails and says so"},
    {"AdjustTokenPrivileges", "a privilege not enabled: what needs it fails and says so"},
    {"OpenProcess", "the manager's token not taken: the session user's serves (the manager's own open says so)"},
    {"QueryFullProcessImageNameA", "the manager's token not taken: the session user's serves"},
    {"DuplicateTokenEx", "the manager's token not taken: the session user's serves"},
    {"GetTokenInformation", "an account that cannot be read is taken for neither SYSTEM nor the session user's"},
    {"MultiByteToWideChar", "fails only for arguments that the program never passes"},
    {"GetProcessWindowStation", "a window station that cannot be asked counts as visible, as on Windows 9x"},
    {"GetUserObjectInformationA", "as GetProcessWindowStation"},
    {"GetWindowThreadProcessId", "fails only for a window that has gone meanwhile, which is not the manager's"},
    {"WaitForSingleObject",
     "a failed wait for a process is its time-out: a closed manager is then terminated, a "
     "started one left to run (the guard's wait says so)"},
    {"GetPrivateProfileStringA", "a value that cannot be read is written anew, to the same end"},
    {"GetExitCodeProcess", "the started manager's exit status is not examined"},
};

// The beginnings of the lines that report a failure, as the roll-out reads
// them (its list, not the program's messages).
std::vector<std::string> FailureLines() {
  std::ifstream in(std::string(DSTPATCH_SOURCE_DIR) + "/deploy/ansible/failure-lines.txt");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

bool SaysFailed(const std::string& out, const std::vector<std::string>& failureLines) {
  for (const std::string& begin : failureLines) {
    if (out.rfind(begin, 0) == 0 || Contains(out, "\n" + begin)) {
      return true;
    }
  }
  return false;
}

// Each call of a whole run that can fail fails once, with an error that
// means nothing special (1117, ERROR_IO_DEVICE). The run still ends in
// order and says what failed with the code (but for the calls of kSilent).
// Each part of the machine is as it was or as one whole run leaves it,
// never a third way; where a part is short of the whole run, a line that
// the roll-out counts as a failure says so. Nothing outside the site
// changes (but what the run says it left behind), at most one manager runs
// and nothing is left open.
TEST_P(KillTest, EveryCallFailedOnceIsReportedAndEndsInOrder) {
  constexpr win::DWORD kError = 1117;
  const std::string kLeftBehind = "\nThe patch could not remove its own ";
  const bool serviceMode = GetParam().serviceMode;
  const std::vector<std::string> failureLines = FailureLines();
  ASSERT_GT(failureLines.size(), 10u);
  std::vector<std::pair<sim::Fault, std::string>> sweep;  // each fault and the call it fails
  std::map<std::string, std::string> outside;
  Outcome before;
  Outcome once;
  {
    Site fresh(serviceMode);
    before = fresh.End();
  }
  {
    Site site(serviceMode);
    outside = Outside(site.machine);
    ASSERT_EQ(site.Run(), 0);
    std::map<std::string, size_t> seen;
    for (const size_t at : site.machine.failable) {
      const std::string call = site.machine.calls[at];
      const std::string name = call.substr(0, call.find('('));
      sweep.push_back({{name, kError, "", seen[name]++}, call});
    }
    once = site.End();
  }
  ASSERT_GT(sweep.size(), 150u);
  for (const auto& [fault, call] : sweep) {
    SCOPED_TRACE(call + ", call #" + std::to_string(*fault.occurrence) + " of " + fault.call);
    Site site(serviceMode);
    site.machine.faults = {fault};
    EXPECT_EQ(site.Run(), 0);
    const std::string& out = site.machine.stdoutText;
    const std::string last = out.substr(out.rfind('\n') + 1);
    EXPECT_TRUE(last == "Success" || (!last.empty() && Contains(kInvalidRootMessage, last)) ||
                (Contains(out, "\nSuccess\nThe run log could not be written (error 1117)")))
        << last;
    EXPECT_TRUE(Contains(out, std::to_string(kError)) || kSilent.count(fault.call) != 0 || kSilent.count(call) != 0)
        << out;
    std::map<std::string, std::string> now = Outside(site.machine);
    now.erase("C/debbgorvinal.txt");
    if (Contains(out, kLeftBehind)) {
      for (auto it = now.begin(); it != now.end();) {
        it = it->first.rfind("C/windows/temp/dstpatch.", 0) == 0 ? now.erase(it) : std::next(it);
      }
    }
    EXPECT_EQ(now, outside);
    const Outcome o = site.End();
    bool shortOfWhole = false;
    const auto part = [&](const auto& was, const auto& is, const auto& whole, const char* what) {
      EXPECT_TRUE(is == was || is == whole) << what << " is neither as it was nor as a whole run leaves it";
      shortOfWhole = shortOfWhole || !(is == whole);
    };
    for (int i = 0; i < kZoneCount; ++i) {
      part(before.zones[i], o.zones[i], once.zones[i], "a zone record");
    }
    part(before.activeZone, o.activeZone, once.activeZone, "the active zone");
    part(before.data, o.data, once.data, "data\\pelio.ini");
    part(before.newdata, o.newdata, once.newdata, "newdata\\pelio.ini");
    shortOfWhole =
        shortOfWhole || o.timezoneIni != once.timezoneIni || o.service != once.service || o.managers != once.managers;
    EXPECT_TRUE(!shortOfWhole || SaysFailed(out, failureLines)) << "short of a whole run without saying so:\n" << out;
    EXPECT_LE(o.managers, 1u);
    EXPECT_TRUE(o.openHandles.empty() && o.heapBlocks == 0 && o.libraries == 0 && o.guardFree);
  }
}

const Scenario kScenarios[] = {{"ServiceMode", true}, {"ApplicationModeWithARunningManager", false}};

INSTANTIATE_TEST_SUITE_P(Kill, KillTest, ::testing::ValuesIn(kScenarios), kCaseName);

}  // namespace
