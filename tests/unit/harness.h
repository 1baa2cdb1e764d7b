// Runs the patch as a process on the simulated machine and sets up what a
// site and a Windows registry hold.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

// Runs dstpatch with these arguments (after the program's own name) as a
// fresh process on machine; returns its exit status, kKilledExitCode when the
// machine killed it (Machine::killAtCall).
int RunProgram(sim::Machine& machine, const std::vector<std::string>& args);
constexpr int kKilledExitCode = 1;  // what TerminateProcess(process, 1) leaves

// The NT-family time-zone database key of a zone key name.
std::string NtZoneKey(const std::string& keyName);
// The key of the zone at index 0 to kZoneCount - 1 of the program's table.
std::string ZoneKey(int index, bool windows9x = false);
// Every zone of the table with the old rules (OldTzi) and its "Std" name.
void SeedOldZones(sim::Machine& machine, bool windows9x = false);

// 44 TZI bytes with the rules in force before 2007: daylight time from the
// first Sunday of April to the last Sunday of October, at 02:00.
std::vector<uint8_t> OldTzi(int32_t bias);

// The control server's registration: a "LocalService" value here means that
// it runs as a service.
extern const std::string kAppIdKey;

// text with every "\n" written as "\r\n", as the run log holds it.
std::string Crlf(std::string text);
bool Contains(const std::string& text, const std::string& part);

// Names the cases of a parameterized test after their `name` member.
inline constexpr auto kCaseName = [](const auto& info) { return std::string(info.param.name); };

// The shell (explorer.exe, owning the shell window of its desktop) of a user
// logged on in a session: by default the administrator who runs the patch,
// at their own desktop, whose shell has the unelevated half of their token.
sim::Process& AddShell(sim::Machine& machine, const std::string& user = sim::kAdministratorSid, win::DWORD session = 1,
                       win::DWORD elevationType = 3);

// Every handle closed and every heap block freed; no library left loaded but
// ADVAPI32.DLL, which the bound status query keeps for the rest of a run.
void ExpectNothingLeftOpen(const sim::Machine& machine);

// A machine with a valid site at C:\Site (data\pelio.ini, tmp\), the seven
// US/Canada zone keys holding the old rules and the administrator's shell;
// each test starts from fresh process state and checks, once it is over and
// a run log it opened is closed, that nothing was left open.
class SiteTest : public ::testing::Test {
 protected:
  SiteTest();
  void TearDown() override;
  void SeedZones(bool windows9x = false) { SeedOldZones(machine, windows9x); }
  // The bytes of the current run log of the site.
  std::string SiteLog() const;
  // data\pelio.ini and newdata\pelio.ini, both holding content.
  void WritePelioFiles(const std::string& content);
  // HubSvc installed and running; registered as the control server's service
  // when asked, so that the back-office job runs in service mode.
  sim::ScriptedService& InstallHub(bool registered);
  // The manager application running, with one window.
  sim::Process& RunningManager(sim::Behaviour::OnClose onClose = sim::Behaviour::OnClose::EndAtOnce);
  // The manager program of a site; without runFor it keeps running once
  // started. It ends with exit code 3.
  void InstallManager(const std::string& siteRoot, std::optional<win::DWORD> runFor = std::nullopt);

  sim::Machine machine;
  const std::string root = "C:\\Site";
};
