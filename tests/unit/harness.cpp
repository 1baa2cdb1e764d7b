#include "tests/unit/harness.h"

#include "app/process_state.h"
#include "app/run_control.h"

const char* const kZoneBaseNames[7] = {"Alaskan", "Pacific",  "Mountain",    "Central",
                                       "Eastern", "Atlantic", "Newfoundland"};

int RunProgram(sim::Machine& machine, const std::vector<std::string>& args) {
  ResetProcessState();
  std::vector<std::string> storage = {machine.exePath};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(storage.size() + 1);
  for (auto& arg : storage) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  try {
    DstPatchMain(static_cast<int>(storage.size()), argv.data());
  } catch (const sim::ProcessExit& exit) {
    return static_cast<int>(exit.code);
  }
  ADD_FAILURE() << "the program returned without ending the process";
  return -1;
}

std::string NtZoneKey(const std::string& keyName) {
  return "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\" + keyName;
}

std::string ZoneKey9x(const std::string& baseName) {
  return "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Time Zones\\" + baseName;
}

std::vector<uint8_t> OldTzi(int32_t bias) {
  std::vector<uint8_t> tzi(44, 0);
  for (int i = 0; i < 4; ++i) {
    tzi[i] = static_cast<uint8_t>(static_cast<uint32_t>(bias) >> (8 * i));
  }
  const uint8_t daylightBias[4] = {0xC4, 0xFF, 0xFF, 0xFF};
  std::copy(daylightBias, daylightBias + 4, tzi.begin() + 8);
  // Standard time: last (5th) Sunday of October, 02:00.
  tzi[14] = 10;
  tzi[18] = 5;
  tzi[20] = 2;
  // Daylight time: first Sunday of April, 02:00.
  tzi[30] = 4;
  tzi[34] = 1;
  tzi[36] = 2;
  return tzi;
}

SimTest::SimTest() {
  machine.files.WriteFile(root + "\\data\\pelio.ini", "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n");
  machine.files.MakeDirectory(root + "\\tmp");
  machine.environment["QUORDIR"] = root;
  SeedZones();
}

void SimTest::SeedZones(bool windows9x) {
  const int32_t biases[7] = {540, 480, 420, 360, 300, 240, 210};
  for (int i = 0; i < 7; ++i) {
    const std::string name = kZoneBaseNames[i];
    const std::string key = windows9x ? ZoneKey9x(name) : NtZoneKey(name + " Standard Time");
    machine.registry.SetValue(key, "TZI", 3, OldTzi(biases[i]));
    machine.registry.SetString(key, "Std", name + " Standard Time");
  }
}

std::string SimTest::SiteLog() const {
  return machine.files.ReadFile(root + "\\tmp\\debGorvinal.txt").value_or("<no run log>");
}
