// The simulated library loader: the system DLLs the patch binds entry points
// from, each present or missing, with its exports, and a count of the load
// references the program holds on it.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win.h"

namespace sim {

class Modules {
 public:
  // --- Set-up and inspection by tests (names as "advapi32.dll" or "advapi32", any case) ---
  void SetPresent(std::string_view module, bool present) { all[Normalize(module)].present = present; }
  void RemoveExport(std::string_view module, const std::string& name) { all[Normalize(module)].exports.erase(name); }
  template <typename Entry>
  void Export(std::string_view module, const std::string& name, Entry* entry) {
    all[Normalize(module)].exports[name] = reinterpret_cast<win::FARPROC>(entry);
  }
  // Load references taken with LoadLibraryA and not yet given back.
  int Loads(std::string_view module) const {
    auto it = all.find(Normalize(module));
    return it == all.end() ? 0 : it->second.loads;
  }
  int TotalLoads() const;
  // The libraries loaded from a file outside the system folder (one that a
  // user could have put beside the program), by path, in order.
  std::vector<std::string> planted;

  // A module's handle is the address of its record.
  struct Module {
    bool present = true;
    std::map<std::string, win::FARPROC> exports;
    int loads = 0;
  };
  // By file name, lower case; one from outside the system folder by "planted:" and its path.
  std::map<std::string, Module> all;
  static std::string Normalize(std::string_view name);
};

// Registers the entry points that the simulated system DLLs export; each
// simulated area that answers a bound entry point adds its rows.
void RegisterSimExports(Modules& modules);
void RegisterTokenExports(Modules& modules);

}  // namespace sim
