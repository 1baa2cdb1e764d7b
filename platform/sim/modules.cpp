#include "platform/sim/modules.h"

#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {

Modules::Modules() {
  uintptr_t base = 0x10000000;
  for (const char* name : {"kernel32.dll", "advapi32.dll", "ntdll.dll", "user32.dll", "userenv.dll", "wtsapi32.dll"}) {
    modules_[name].base = base;
    base += 0x01000000;
  }
}

std::string Modules::Normalize(std::string_view name) {
  std::string lower = ToLowerAscii(name);
  if (lower.find('.') == std::string::npos) {
    lower += ".dll";
  }
  return lower;
}

void Modules::SetPresent(std::string_view module, bool present) { modules_[Normalize(module)].present = present; }

void Modules::RemoveExport(std::string_view module, std::string_view name) {
  modules_[Normalize(module)].exports.erase(std::string(name));
}

void Modules::Export(std::string_view module, std::string_view name, win::FARPROC entry) {
  modules_[Normalize(module)].exports[std::string(name)] = entry;
}

int Modules::Loads(std::string_view module) const {
  auto it = modules_.find(Normalize(module));
  return it == modules_.end() ? 0 : it->second.loads;
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

namespace {

win::BOOL WINAPI SimSetDllDirectoryA(const char* path) {
  Machine& m = PlatformCall("SetDllDirectoryA", path == nullptr ? "(null)" : "\"" + std::string(path) + "\"");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (path == nullptr) {
    m.librarySearch.dllDirectory.reset();
  } else {
    m.librarySearch.dllDirectory = path;
  }
  return win::TRUE;
}

win::BOOL WINAPI SimSetDefaultDllDirectories(win::DWORD flags) {
  Machine& m = PlatformCall("SetDefaultDllDirectories", Hex(flags));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (flags == 0) {
    m.lastError = win::ERROR_INVALID_PARAMETER;
    return win::FALSE;
  }
  m.librarySearch.defaultDirectories = flags;
  return win::TRUE;
}

}  // namespace

void RegisterLibrarySearchExports(Modules& modules) {
  modules.Export("kernel32.dll", "SetDllDirectoryA", reinterpret_cast<win::FARPROC>(&SimSetDllDirectoryA));
  modules.Export("kernel32.dll", "SetDefaultDllDirectories",
                 reinterpret_cast<win::FARPROC>(&SimSetDefaultDllDirectories));
}

win::HMODULE Modules::Load(const char* name) {
  Machine& m = Machine::Current();
  std::string wanted = name == nullptr ? "" : name;
  const size_t slash = wanted.rfind('\\');
  const std::string file = Normalize(slash == std::string::npos ? wanted : wanted.substr(slash + 1));
  std::string planted;
  if (slash != std::string::npos) {
    if (!EqualsNoCase(wanted.substr(0, slash), m.systemDirectory)) {
      planted = wanted;
    }
  } else if (file != "kernel32.dll" && file != "ntdll.dll" && file != "advapi32.dll" &&
             (m.librarySearch.defaultDirectories & win::LOAD_LIBRARY_SEARCH_SYSTEM32) == 0) {
    const std::string besideProgram = m.exePath.substr(0, m.exePath.rfind('\\') + 1) + file;
    if (m.files.Exists(besideProgram)) {
      planted = besideProgram;
    }
  }
  if (!planted.empty()) {
    if (!m.files.Exists(planted)) {
      m.lastError = win::ERROR_MOD_NOT_FOUND;
      return nullptr;
    }
    this->planted.push_back(planted);
    wanted = "planted:" + planted;
    modules_[wanted].base = 0x70000000 + 0x10000 * this->planted.size();
  } else {
    wanted = file;
  }
  auto it = modules_.find(wanted);
  if (it == modules_.end() || !it->second.present) {
    Machine::Current().lastError = win::ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  ++it->second.loads;
  return reinterpret_cast<win::HMODULE>(it->second.base);
}

win::HMODULE Modules::Handle(const char* name) const {
  auto it = modules_.find(Normalize(name == nullptr ? "" : name));
  if (it == modules_.end() || !it->second.present) {
    Machine::Current().lastError = win::ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  return reinterpret_cast<win::HMODULE>(it->second.base);
}

Modules::Module* Modules::ByHandle(win::HMODULE module) {
  for (auto& [name, m] : modules_) {
    if (m.present && m.base == reinterpret_cast<uintptr_t>(module)) {
      return &m;
    }
  }
  return nullptr;
}

const Modules::Module* Modules::ByHandle(win::HMODULE module) const {
  return const_cast<Modules*>(this)->ByHandle(module);
}

win::FARPROC Modules::ProcAddress(win::HMODULE module, const char* name) const {
  const Module* m = ByHandle(module);
  if (m == nullptr) {
    Machine::Current().lastError = win::ERROR_INVALID_HANDLE;
    return nullptr;
  }
  auto it = m->exports.find(name == nullptr ? "" : name);
  if (it == m->exports.end()) {
    Machine::Current().lastError = win::ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  return it->second;
}

bool Modules::Free(win::HMODULE module) {
  Module* m = ByHandle(module);
  if (m == nullptr || m->loads == 0) {
    Machine::Current().lastError = win::ERROR_INVALID_HANDLE;
    return false;
  }
  --m->loads;
  return true;
}

}  // namespace sim

namespace win {
namespace {

sim::Machine& M() { return sim::Machine::Current(); }
using sim::Str;

}  // namespace

// Each call's object is the module's name or path.
HMODULE LoadLibraryA(const char* name) {
  sim::Machine& m = sim::PlatformCall("LoadLibraryA", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HMODULE{nullptr});
  }
  return M().modules.Load(name);
}

HMODULE LoadLibraryExA(const char* name, HANDLE reserved, DWORD flags) {
  sim::Machine& m = sim::PlatformCall("LoadLibraryExA", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HMODULE{nullptr});
  }
  if (reserved != nullptr || (flags != 0 && flags != LOAD_WITH_ALTERED_SEARCH_PATH)) {
    M().lastError = ERROR_INVALID_PARAMETER;  // the simulation knows only what the patch asks for
    return nullptr;
  }
  return M().modules.Load(name);
}

HMODULE GetModuleHandleA(const char* name) {
  sim::Machine& m = sim::PlatformCall("GetModuleHandleA", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HMODULE{nullptr});
  }
  return M().modules.Handle(name);
}

// The object is the entry point's name.
FARPROC GetProcAddress(HMODULE module, const char* name) {
  sim::Machine& m = sim::PlatformCall("GetProcAddress", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, FARPROC{nullptr});
  }
  return M().modules.ProcAddress(module, name);
}

BOOL FreeLibrary(HMODULE module) {
  sim::PlatformCall("FreeLibrary");
  return M().modules.Free(module) ? TRUE : FALSE;
}

}  // namespace win
