#include "platform/sim/registry.h"

#include <algorithm>

#include "platform/sim/machine.h"

namespace sim {

void Registry::SetString(const std::string& path, const std::string& name, std::string_view text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  SetValue(path, name, win::REG_SZ, std::move(data));
}

std::optional<Registry::Value> Registry::GetValue(const std::string& path, const std::string& name) const {
  auto key = keys_.find(path);
  if (key == keys_.end() || key->second.count(name) == 0) {
    return std::nullopt;
  }
  return key->second.at(name);
}

std::string Registry::PathOf(win::HKEY key) const {
  if (key == win::HKEY_LOCAL_MACHINE || key == win::HKEY_CLASSES_ROOT) {
    return key == win::HKEY_LOCAL_MACHINE ? "HKLM" : "HKCR";
  }
  auto it = open.find(reinterpret_cast<uintptr_t>(key));
  return it == open.end() ? "" : it->second.path;
}

}  // namespace sim

namespace win {
namespace {

sim::Registry& R() { return sim::Machine::Current().registry; }

LONG Code(DWORD error) { return static_cast<LONG>(error); }

// The call, recorded with the key's path as its object; a planted error, or
// one for an argument the patch never passes, as the call's result.
LONG Enter(const char* call, const std::string& path, bool badArgument) {
  sim::Machine& m = sim::PlatformCall(call, path);
  if (const auto error = m.PlantedError()) {
    return Code(*error);
  }
  return badArgument ? Code(ERROR_INVALID_PARAMETER) : 0;
}

// Enter for a call on an open key, which must grant right; path is the key's.
LONG EnterKey(const char* call, HKEY key, REGSAM right, bool badArgument, std::string& path) {
  path = R().PathOf(key);
  if (const LONG error = Enter(call, path, badArgument)) {
    return error;
  }
  const bool granted = sim::OpenedRecord(R().open, key, sim::HandleKind::Key, right) != nullptr;
  return granted ? 0 : Code(sim::Machine::Current().lastError);
}

LONG OpenKey(const char* call, HKEY root, const char* subKey, bool badArgument, REGSAM access, HKEY* result) {
  const std::string path = R().PathOf(root) + "\\" + sim::Str(subKey);
  if (const LONG error = Enter(call, path, badArgument)) {
    return error;
  }
  if (!R().KeyExists(path)) {
    return Code(ERROR_FILE_NOT_FOUND);
  }
  *result = sim::Machine::Current().handles.Add<HKEY>(sim::HandleKind::Key, path);
  R().open[reinterpret_cast<uintptr_t>(*result)] = {path, access};
  return 0;
}

}  // namespace

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result) {
  return OpenKey("RegOpenKeyExA", root, subKey, options != 0, access, result);
}

// Asks for all access, and gets what the caller may have: an administrator all of it.
LONG RegOpenKeyA(HKEY root, const char* subKey, HKEY* result) {
  return OpenKey("RegOpenKeyA", root, subKey, false, KEY_ALL_ACCESS, result);
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  std::string path;
  if (const LONG error = EnterKey("RegSetValueExA", key, KEY_SET_VALUE, reserved != 0, path)) {
    return error;
  }
  R().SetValue(path, sim::Str(name), type, std::vector<uint8_t>(data, data + size));
  R().unflushed.insert(path);
  return 0;
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
  std::string path;
  if (const LONG error = EnterKey("RegQueryValueExA", key, KEY_QUERY_VALUE, reserved != nullptr, path)) {
    return error;
  }
  const std::optional<sim::Registry::Value> value = R().GetValue(path, sim::Str(name));
  if (!value) {
    return Code(ERROR_FILE_NOT_FOUND);
  }
  *type = value->type;
  const DWORD room = *size;
  *size = static_cast<DWORD>(value->data.size());
  if (room < *size) {
    return Code(ERROR_MORE_DATA);
  }
  std::copy(value->data.begin(), value->data.end(), data);
  return 0;
}

LONG RegFlushKey(HKEY key) {
  std::string path;
  if (const LONG error = EnterKey("RegFlushKey", key, 0, false, path)) {
    return error;
  }
  R().unflushed.erase(path);
  return 0;
}

LONG RegCloseKey(HKEY key) {
  sim::Machine& m = sim::PlatformCall("RegCloseKey", R().PathOf(key));
  if (!m.handles.Remove(key, sim::HandleKind::Key)) {
    return Code(ERROR_INVALID_HANDLE);
  }
  m.registry.open.erase(reinterpret_cast<uintptr_t>(key));
  return 0;
}

}  // namespace win
