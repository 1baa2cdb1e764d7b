// The simulated library loader: the system DLLs the patch binds entry points
// from, each present or missing, with its exports, and a count of the load
// references the program holds on it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win.h"

namespace sim {

class Modules {
 public:
  Modules();

  // --- Set-up and inspection by tests (names as "advapi32.dll" or "advapi32", any case) ---
  void SetPresent(std::string_view module, bool present) { modules_[Normalize(module)].present = present; }
  void RemoveExport(std::string_view module, const std::string& name) {
    modules_[Normalize(module)].exports.erase(name);
  }
  template <typename Entry>
  void Export(std::string_view module, const std::string& name, Entry* entry) {
    modules_[Normalize(module)].exports[name] = reinterpret_cast<win::FARPROC>(entry);
  }
  // Load references taken with LoadLibraryA and not yet given back.
  int Loads(std::string_view module) const {
    auto it = modules_.find(Normalize(module));
    return it == modules_.end() ? 0 : it->second.loads;
  }
  int TotalLoads() const;
  // Every load reference given back, as at the end of a process.
  void UnloadAll();
  // The libraries loaded from a file outside the system folder (one that a
  // user could have put beside the program), by path, in order.
  std::vector<std::string> planted;

  // --- The Windows calls ---
  // A name alone is looked for as a Windows without SetDefaultDllDirectories
  // looks for it (the libraries every Windows maps from its own copy
  // aside): in the program's folder first, then in the system folder. A
  // full path loads the file there.
  win::HMODULE Load(const char* name);
  win::HMODULE Handle(const char* name);
  win::FARPROC ProcAddress(win::HMODULE module, const char* name);
  bool Free(win::HMODULE module);

 private:
  struct Module {
    bool present = true;
    std::map<std::string, win::FARPROC> exports;
    int loads = 0;
    uintptr_t base = 0;
  };
  static std::string Normalize(std::string_view name);
  Module* ByHandle(win::HMODULE module);

  std::map<std::string, Module> modules_;
};

// Registers the entry points that the simulated system DLLs export; each
// simulated area that answers a bound entry point adds its rows.
void RegisterSimExports(Modules& modules);
void RegisterTokenExports(Modules& modules);

}  // namespace sim
