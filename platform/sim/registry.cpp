#include "platform/sim/registry.h"

#include <algorithm>

#include "platform/sim/machine.h"

namespace sim {
namespace {

// True when path is key or lies below it.
bool AtOrBelow(const std::string& path, const std::string& key) {
  return EqualsNoCase(path.substr(0, key.size()), key) && (path.size() == key.size() || path[key.size()] == '\\');
}

win::LONG Code(win::DWORD error) { return static_cast<win::LONG>(error); }

}  // namespace

void Registry::SetValue(const std::string& path, const std::string& name, win::DWORD type, std::vector<uint8_t> data) {
  keys_[path][name] = Value{type, std::move(data)};
}

void Registry::SetString(const std::string& path, const std::string& name, std::string_view text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  SetValue(path, name, win::REG_SZ, std::move(data));
}

void Registry::DeleteKey(const std::string& path) {
  keys_.erase(path);
  for (auto it = keys_.lower_bound(path + "\\"); it != keys_.end() && AtOrBelow(it->first, path);) {
    it = keys_.erase(it);
  }
}

bool Registry::KeyExists(const std::string& path) const {
  auto below = keys_.lower_bound(path + "\\");
  return keys_.count(path) != 0 || (below != keys_.end() && AtOrBelow(below->first, path));
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
  auto it = open_.find(reinterpret_cast<uintptr_t>(key));
  return it == open_.end() ? "" : it->second.path;
}

win::LONG Registry::OpenKey(win::HKEY root, const char* subKey, win::REGSAM access, win::HKEY* result) {
  const std::string path = PathOf(root) + "\\" + Str(subKey);
  if (PathOf(root).empty()) {
    return Code(win::ERROR_INVALID_HANDLE);
  }
  if (!KeyExists(path)) {
    return Code(win::ERROR_FILE_NOT_FOUND);
  }
  *result = Machine::Current().handles.Add<win::HKEY>(HandleKind::Key, path);
  open_[reinterpret_cast<uintptr_t>(*result)] = Opened{path, access};
  return 0;
}

win::LONG Registry::Check(win::HKEY key, win::REGSAM right, const Opened** opened) const {
  auto it = open_.find(reinterpret_cast<uintptr_t>(key));
  if (it == open_.end()) {
    return Code(win::ERROR_INVALID_HANDLE);
  }
  *opened = &it->second;
  return (it->second.granted & right) == right ? 0 : Code(win::ERROR_ACCESS_DENIED);
}

win::LONG Registry::SetValueEx(win::HKEY key, const char* name, win::DWORD type, const win::BYTE* data,
                               win::DWORD size) {
  const Opened* opened = nullptr;
  if (const win::LONG error = Check(key, win::KEY_SET_VALUE, &opened)) {
    return error;
  }
  SetValue(opened->path, Str(name), type, std::vector<uint8_t>(data, data + size));
  unflushed_.insert(opened->path);
  return 0;
}

win::LONG Registry::FlushKey(win::HKEY key) {
  const Opened* opened = nullptr;
  if (const win::LONG error = Check(key, 0, &opened)) {
    return error;
  }
  unflushed_.erase(opened->path);
  return 0;
}

win::LONG Registry::QueryValueEx(win::HKEY key, const char* name, win::DWORD* type, win::BYTE* data, win::DWORD* size) {
  const Opened* opened = nullptr;
  if (const win::LONG error = Check(key, win::KEY_QUERY_VALUE, &opened)) {
    return error;
  }
  const std::optional<Value> value = GetValue(opened->path, Str(name));
  if (!value) {
    return Code(win::ERROR_FILE_NOT_FOUND);
  }
  if (type == nullptr || data == nullptr || size == nullptr) {
    return Code(win::ERROR_INVALID_PARAMETER);  // the simulation knows only what the patch asks for
  }
  *type = value->type;
  const win::DWORD room = *size;
  *size = static_cast<win::DWORD>(value->data.size());
  if (room < *size) {
    return Code(win::ERROR_MORE_DATA);
  }
  std::copy(value->data.begin(), value->data.end(), data);
  return 0;
}

win::LONG Registry::CloseKey(win::HKEY key) {
  if (!Machine::Current().handles.Remove(key, HandleKind::Key)) {
    return Code(win::ERROR_INVALID_HANDLE);
  }
  open_.erase(reinterpret_cast<uintptr_t>(key));
  return 0;
}

}  // namespace sim

namespace win {
namespace {

sim::Registry& R() { return sim::Machine::Current().registry; }

// The call, recorded with the key's path as its object; a planted error, or
// one for an argument the patch never passes, as the call's result.
std::optional<LONG> Enter(const char* call, const std::string& path, bool badArgument) {
  sim::Machine& m = sim::PlatformCall(call, path);
  if (const auto error = m.PlantedError()) {
    return static_cast<LONG>(*error);
  }
  return badArgument ? std::optional<LONG>(ERROR_INVALID_PARAMETER) : std::nullopt;
}

}  // namespace

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result) {
  const auto error = Enter("RegOpenKeyExA", R().PathOf(root) + "\\" + sim::Str(subKey), options != 0);
  return error ? *error : R().OpenKey(root, subKey, access, result);
}

// Asks for all access, and gets what the caller may have: an administrator all of it.
LONG RegOpenKeyA(HKEY root, const char* subKey, HKEY* result) {
  const auto error = Enter("RegOpenKeyA", R().PathOf(root) + "\\" + sim::Str(subKey), false);
  return error ? *error : R().OpenKey(root, subKey, KEY_ALL_ACCESS, result);
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  const auto error = Enter("RegSetValueExA", R().PathOf(key), reserved != 0);
  return error ? *error : R().SetValueEx(key, name, type, data, size);
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
  const auto error = Enter("RegQueryValueExA", R().PathOf(key), reserved != nullptr);
  return error ? *error : R().QueryValueEx(key, name, type, data, size);
}

LONG RegFlushKey(HKEY key) {
  const auto error = Enter("RegFlushKey", R().PathOf(key), false);
  return error ? *error : R().FlushKey(key);
}

LONG RegCloseKey(HKEY key) {
  sim::PlatformCall("RegCloseKey", R().PathOf(key));
  return R().CloseKey(key);
}

}  // namespace win
