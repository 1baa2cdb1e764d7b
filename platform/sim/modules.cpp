#include "platform/sim/modules.h"

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

}  // namespace

Modules::Modules() {
  uintptr_t base = 0x10000000;
  for (const char* name : {"kernel32.dll", "advapi32.dll", "ntdll.dll", "user32.dll", "userenv.dll", "wtsapi32.dll"}) {
    modules_[name].base = base;
    base += 0x01000000;
  }
}

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
  int total = 0;
  for (const auto& [name, module] : modules_) {
    total += module.loads;
  }
  return total;
}

void Modules::UnloadAll() {
  for (auto& [name, module] : modules_) {
    module.loads = 0;
  }
}

win::HMODULE Modules::Load(const char* name) {
  Machine& m = M();
  std::string path = Str(name);
  const size_t slash = path.rfind('\\');
  const std::string file = Normalize(path.substr(slash + 1));  // all of it when there is no backslash
  if (slash == std::string::npos) {
    const std::string beside = m.exePath.substr(0, m.exePath.rfind('\\') + 1) + file;
    const bool mapped = file == "kernel32.dll" || file == "ntdll.dll" || file == "advapi32.dll";
    const bool searched = !mapped && (m.librarySearch.defaultDirectories & win::LOAD_LIBRARY_SEARCH_SYSTEM32) == 0;
    path = searched && m.files.Exists(beside) ? beside : m.systemDirectory + "\\" + file;
  }
  std::string key = file;
  if (!EqualsNoCase(path.substr(0, path.rfind('\\')), m.systemDirectory)) {
    if (!m.files.Exists(path)) {
      return m.Fail(win::ERROR_MOD_NOT_FOUND, win::HMODULE{nullptr});
    }
    planted.push_back(path);
    key = "planted:" + path;
    modules_[key].base = 0x70000000 + 0x10000 * planted.size();
  }
  auto it = modules_.find(key);
  if (it == modules_.end() || !it->second.present) {
    return m.Fail(win::ERROR_MOD_NOT_FOUND, win::HMODULE{nullptr});
  }
  ++it->second.loads;
  return reinterpret_cast<win::HMODULE>(it->second.base);
}

win::HMODULE Modules::Handle(const char* name) {
  auto it = modules_.find(Normalize(Str(name)));
  if (it == modules_.end() || !it->second.present) {
    return M().Fail(win::ERROR_MOD_NOT_FOUND, win::HMODULE{nullptr});
  }
  return reinterpret_cast<win::HMODULE>(it->second.base);
}

Modules::Module* Modules::ByHandle(win::HMODULE module) {
  for (auto& [name, m] : modules_) {
    if (m.present && m.base == reinterpret_cast<uintptr_t>(module)) {
      return &m;
    }
  }
  return M().Fail(win::ERROR_INVALID_HANDLE, nullptr);
}

win::FARPROC Modules::ProcAddress(win::HMODULE module, const char* name) {
  const Module* m = ByHandle(module);
  if (m == nullptr) {
    return nullptr;
  }
  auto it = m->exports.find(Str(name));
  return it == m->exports.end() ? M().Fail(win::ERROR_PROC_NOT_FOUND, win::FARPROC{nullptr}) : it->second;
}

bool Modules::Free(win::HMODULE module) {
  Module* m = ByHandle(module);
  if (m == nullptr || m->loads == 0) {
    return M().Fail(win::ERROR_INVALID_HANDLE, false);
  }
  --m->loads;
  return true;
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
  return m.modules.Load(name);
}

HMODULE LoadLibraryExA(const char* name, HANDLE reserved, DWORD flags) {
  sim::Machine& m = sim::PlatformCall("LoadLibraryExA", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HMODULE{nullptr});
  }
  if (reserved != nullptr || flags != LOAD_WITH_ALTERED_SEARCH_PATH) {
    return m.Fail(ERROR_INVALID_PARAMETER, HMODULE{nullptr});  // the simulation knows only what the patch asks for
  }
  return m.modules.Load(name);
}

HMODULE GetModuleHandleA(const char* name) {
  sim::Machine& m = sim::PlatformCall("GetModuleHandleA", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HMODULE{nullptr});
  }
  return m.modules.Handle(name);
}

// The object is the entry point's name.
FARPROC GetProcAddress(HMODULE module, const char* name) {
  sim::Machine& m = sim::PlatformCall("GetProcAddress", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, FARPROC{nullptr});
  }
  return m.modules.ProcAddress(module, name);
}

BOOL FreeLibrary(HMODULE module) { return sim::PlatformCall("FreeLibrary").modules.Free(module) ? TRUE : FALSE; }

}  // namespace win
