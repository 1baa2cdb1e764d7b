#include "platform/sim/modules.h"

#include <numeric>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {
namespace {

Machine& M() { return Machine::Current(); }

win::BOOL WINAPI SimSetDllDirectoryA(const char* path) {
  Machine& m = PlatformCall("SetDllDirectoryA", path == nullptr ? "(null)" : "\"" + std::string(path) + "\"");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  m.librarySearch.dllDirectory = path == nullptr ? std::nullopt : std::optional<std::string>(path);
  return win::TRUE;
}

win::BOOL WINAPI SimSetDefaultDllDirectories(win::DWORD flags) {
  Machine& m = PlatformCall("SetDefaultDllDirectories", Hex(flags));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  m.librarySearch.defaultDirectories = flags;
  return win::TRUE;
}

// A module's handle is its record's address (null for none).
win::HMODULE HandleOf(Modules::Module* module) { return reinterpret_cast<win::HMODULE>(module); }

// A present module, by its name (as Normalize gives it).
Modules::Module* Named(const std::string& key) {
  auto it = M().modules.all.find(key);
  return it == M().modules.all.end() || !it->second.present ? M().Fail(win::ERROR_MOD_NOT_FOUND, nullptr) : &it->second;
}

// A present module, by its handle.
Modules::Module* Find(win::HMODULE handle) {
  for (auto& [name, module] : M().modules.all) {
    if (module.present && HandleOf(&module) == handle) {
      return &module;
    }
  }
  return M().Fail(win::ERROR_INVALID_HANDLE, nullptr);
}

// A name alone is looked for as a Windows without SetDefaultDllDirectories
// looks for it (the libraries every Windows maps from its own copy aside):
// in the program's folder first, then in the system folder. A full path
// loads the file there.
win::HMODULE Load(const char* name) {
  Machine& m = M();
  std::string path = Str(name);
  const size_t slash = path.rfind('\\');
  std::string key = Modules::Normalize(path.substr(slash + 1));  // all of it when there is no backslash
  if (slash == std::string::npos) {
    const std::string beside = m.exePath.substr(0, m.exePath.rfind('\\') + 1) + key;
    const bool mapped = key == "kernel32.dll" || key == "ntdll.dll" || key == "advapi32.dll";
    const bool searched = !mapped && (m.librarySearch.defaultDirectories & win::LOAD_LIBRARY_SEARCH_SYSTEM32) == 0;
    path = searched && m.files.Exists(beside) ? beside : m.systemDirectory + "\\" + key;
  }
  if (!EqualsNoCase(path.substr(0, path.rfind('\\')), m.systemDirectory)) {
    if (!m.files.Exists(path)) {
      return m.Fail(win::ERROR_MOD_NOT_FOUND, win::HMODULE{nullptr});
    }
    m.modules.planted.push_back(path);
    key = "planted:" + path;
    m.modules.all[key];
  }
  Modules::Module* module = Named(key);
  if (module != nullptr) {
    ++module->loads;
  }
  return HandleOf(module);
}

}  // namespace

void RegisterSimExports(Modules& modules) {
  modules.Export("kernel32.dll", "SetDllDirectoryA", &SimSetDllDirectoryA);
  modules.Export("kernel32.dll", "SetDefaultDllDirectories", &SimSetDefaultDllDirectories);
  modules.Export("kernel32.dll", "GetDynamicTimeZoneInformation", &SimGetDynamicTimeZoneInformation);
  modules.Export("kernel32.dll", "SetDynamicTimeZoneInformation", &SimSetDynamicTimeZoneInformation);
  modules.Export("advapi32.dll", "QueryServiceStatusEx", &SimQueryServiceStatusEx);
  RegisterProcessExports(modules);
  RegisterSecurityExports(modules);
  RegisterTokenExports(modules);
}

std::string Modules::Normalize(std::string_view name) {
  const std::string lower = ToLowerAscii(name);
  return lower.find('.') == std::string::npos ? lower + ".dll" : lower;
}

int Modules::TotalLoads() const {
  return std::accumulate(all.begin(), all.end(), 0,
                         [](int total, const auto& named) { return total + named.second.loads; });
}

}  // namespace sim

namespace win {

using sim::Str;

// Each call's object is the module's name or path.
HMODULE LoadLibraryA(const char* name) {
  sim::Machine& m = sim::PlatformCall("LoadLibraryA", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HMODULE{nullptr});
  }
  return sim::Load(name);
}

HMODULE LoadLibraryExA(const char* name, HANDLE reserved, DWORD flags) {
  sim::Machine& m = sim::PlatformCall("LoadLibraryExA", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HMODULE{nullptr});
  }
  if (reserved != nullptr || flags != LOAD_WITH_ALTERED_SEARCH_PATH) {
    return m.Fail(ERROR_INVALID_PARAMETER, HMODULE{nullptr});  // the simulation knows only what the patch asks for
  }
  return sim::Load(name);
}

HMODULE GetModuleHandleA(const char* name) {
  sim::Machine& m = sim::PlatformCall("GetModuleHandleA", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HMODULE{nullptr});
  }
  return sim::HandleOf(sim::Named(sim::Modules::Normalize(Str(name))));
}

// The object is the entry point's name.
FARPROC GetProcAddress(HMODULE module, const char* name) {
  sim::Machine& m = sim::PlatformCall("GetProcAddress", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, FARPROC{nullptr});
  }
  const sim::Modules::Module* found = sim::Find(module);
  if (found == nullptr) {
    return nullptr;
  }
  auto it = found->exports.find(Str(name));
  return it == found->exports.end() ? m.Fail(ERROR_PROC_NOT_FOUND, FARPROC{nullptr}) : it->second;
}

BOOL FreeLibrary(HMODULE module) {
  sim::Machine& m = sim::PlatformCall("FreeLibrary");
  sim::Modules::Module* found = sim::Find(module);
  if (found == nullptr || found->loads == 0) {
    return m.Fail(ERROR_INVALID_HANDLE);
  }
  --found->loads;
  return TRUE;
}

}  // namespace win
