#include "platform/sim/registry.h"

#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {
namespace {

constexpr win::LONG kErrorKeyDeleted = 1018;

std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('\\', pos);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    if (end > pos) {
      parts.emplace_back(path.substr(pos, end - pos));
    }
    pos = end + 1;
  }
  return parts;
}

std::string CanonicalRoot(const std::string& name) {
  const std::string lower = ToLowerAscii(name);
  if (lower == "hklm" || lower == "hkey_local_machine") {
    return "HKLM";
  }
  if (lower == "hkcr" || lower == "hkey_classes_root") {
    return "HKCR";
  }
  if (lower == "hkcu" || lower == "hkey_current_user") {
    return "HKCU";
  }
  return name;
}

}  // namespace

Registry::Key* Registry::Find(std::string_view path) const {
  auto parts = SplitPath(path);
  if (parts.empty()) {
    return nullptr;
  }
  auto root = roots_.find(CanonicalRoot(parts[0]));
  if (root == roots_.end()) {
    return nullptr;
  }
  Key* key = root->second.get();
  for (size_t i = 1; i < parts.size(); ++i) {
    auto it = key->subkeys.find(parts[i]);
    if (it == key->subkeys.end()) {
      return nullptr;
    }
    key = it->second.get();
  }
  return key;
}

Registry::Key* Registry::FindOrCreate(std::string_view path) {
  auto parts = SplitPath(path);
  auto& root = roots_[CanonicalRoot(parts.at(0))];
  if (!root) {
    root = std::make_unique<Key>();
  }
  Key* key = root.get();
  for (size_t i = 1; i < parts.size(); ++i) {
    auto& child = key->subkeys[parts[i]];
    if (!child) {
      child = std::make_unique<Key>();
    }
    key = child.get();
  }
  return key;
}

void Registry::SetValue(std::string_view path, std::string_view name, win::DWORD type, std::vector<uint8_t> data) {
  FindOrCreate(path)->values[std::string(name)] = Value{type, std::move(data)};
}

void Registry::SetString(std::string_view path, std::string_view name, std::string_view text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  SetValue(path, name, win::REG_SZ, std::move(data));
}

void Registry::DeleteKey(std::string_view path) {
  auto parts = SplitPath(path);
  if (parts.size() < 2) {
    return;
  }
  std::string parentPath;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    parentPath += (i == 0 ? "" : "\\") + parts[i];
  }
  if (Key* parent = Find(parentPath)) {
    parent->subkeys.erase(parts.back());
  }
}

bool Registry::KeyExists(std::string_view path) const { return Find(path) != nullptr; }

std::optional<Registry::Value> Registry::GetValue(std::string_view path, std::string_view name) const {
  Key* key = Find(path);
  if (key == nullptr) {
    return std::nullopt;
  }
  auto it = key->values.find(std::string(name));
  if (it == key->values.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::string Registry::RootName(win::HKEY root) const {
  if (root == win::HKEY_LOCAL_MACHINE) {
    return "HKLM";
  }
  if (root == win::HKEY_CLASSES_ROOT) {
    return "HKCR";
  }
  if (root == win::HKEY_CURRENT_USER) {
    return "HKCU";
  }
  auto it = openKeys_.find(reinterpret_cast<uintptr_t>(root));
  return it == openKeys_.end() ? std::string() : it->second.path;
}

std::string Registry::PathOf(win::HKEY key) const { return RootName(key); }

win::LONG Registry::OpenKey(win::HKEY root, const char* subKey, win::REGSAM access, bool maximumAllowed,
                            win::HKEY* result) {
  if (result == nullptr) {
    return static_cast<win::LONG>(win::ERROR_INVALID_PARAMETER);
  }
  const std::string rootPath = RootName(root);
  if (rootPath.empty()) {
    return static_cast<win::LONG>(win::ERROR_INVALID_HANDLE);
  }
  std::string path = rootPath;
  if (subKey != nullptr && *subKey != '\0') {
    path += "\\";
    path += subKey;
  }
  Key* key = Find(path);
  if (key == nullptr) {
    return static_cast<win::LONG>(win::ERROR_FILE_NOT_FOUND);
  }
  const win::REGSAM granted = maximumAllowed ? win::KEY_ALL_ACCESS : access;
  std::string canonical;
  for (const auto& part : SplitPath(path)) {
    canonical += (canonical.empty() ? "" : "\\") + part;
  }
  *result = Machine::Current().handles.Add<win::HKEY>(HandleKind::Key, canonical);
  openKeys_[reinterpret_cast<uintptr_t>(*result)] = OpenKeyRecord{canonical, granted};
  return 0;
}

win::LONG Registry::SetValueEx(win::HKEY key, const char* name, win::DWORD type, const win::BYTE* data,
                               win::DWORD size) {
  auto it = openKeys_.find(reinterpret_cast<uintptr_t>(key));
  if (it == openKeys_.end()) {
    return static_cast<win::LONG>(win::ERROR_INVALID_HANDLE);
  }
  if ((it->second.granted & win::KEY_SET_VALUE) == 0) {
    return static_cast<win::LONG>(win::ERROR_ACCESS_DENIED);
  }
  Key* node = Find(it->second.path);
  if (node == nullptr) {
    return kErrorKeyDeleted;
  }
  std::vector<uint8_t> bytes;
  if (data != nullptr) {
    bytes.assign(data, data + size);
  }
  node->values[name == nullptr ? std::string() : std::string(name)] = Value{type, std::move(bytes)};
  unflushed_.insert(it->second.path);
  return 0;
}

win::LONG Registry::FlushKey(win::HKEY key) {
  auto it = openKeys_.find(reinterpret_cast<uintptr_t>(key));
  if (it == openKeys_.end()) {
    return static_cast<win::LONG>(win::ERROR_INVALID_HANDLE);
  }
  // The key and everything below it reach the disk.
  const std::string& path = it->second.path;
  for (auto written = unflushed_.begin(); written != unflushed_.end();) {
    const bool below =
        written->size() == path.size() || (written->size() > path.size() && (*written)[path.size()] == '\\');
    if (below && EqualsNoCase(written->substr(0, path.size()), path)) {
      written = unflushed_.erase(written);
    } else {
      ++written;
    }
  }
  return 0;
}

win::LONG Registry::QueryValueEx(win::HKEY key, const char* name, win::DWORD* type, win::BYTE* data, win::DWORD* size) {
  auto it = openKeys_.find(reinterpret_cast<uintptr_t>(key));
  if (it == openKeys_.end()) {
    return static_cast<win::LONG>(win::ERROR_INVALID_HANDLE);
  }
  if ((it->second.granted & win::KEY_QUERY_VALUE) == 0) {
    return static_cast<win::LONG>(win::ERROR_ACCESS_DENIED);
  }
  Key* node = Find(it->second.path);
  if (node == nullptr) {
    return kErrorKeyDeleted;
  }
  auto value = node->values.find(name == nullptr ? std::string() : std::string(name));
  if (value == node->values.end()) {
    return static_cast<win::LONG>(win::ERROR_FILE_NOT_FOUND);
  }
  if (data != nullptr && size == nullptr) {
    return static_cast<win::LONG>(win::ERROR_INVALID_PARAMETER);
  }
  if (type != nullptr) {
    *type = value->second.type;
  }
  const auto needed = static_cast<win::DWORD>(value->second.data.size());
  if (size == nullptr) {
    return 0;
  }
  if (data == nullptr) {
    *size = needed;
    return 0;
  }
  if (*size < needed) {
    *size = needed;
    return static_cast<win::LONG>(win::ERROR_MORE_DATA);
  }
  if (needed > 0) {
    std::memcpy(data, value->second.data.data(), needed);
  }
  *size = needed;
  return 0;
}

win::LONG Registry::CloseKey(win::HKEY key) {
  if (key == win::HKEY_LOCAL_MACHINE || key == win::HKEY_CLASSES_ROOT || key == win::HKEY_CURRENT_USER) {
    return 0;
  }
  if (!Machine::Current().handles.Remove(key, HandleKind::Key)) {
    return static_cast<win::LONG>(win::ERROR_INVALID_HANDLE);
  }
  openKeys_.erase(reinterpret_cast<uintptr_t>(key));
  return 0;
}

}  // namespace sim

namespace win {
namespace {

sim::Machine& M() { return sim::Machine::Current(); }
using sim::Str;

}  // namespace

// Each call's object is the key's path ("HKLM\\Software\\...").
LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result) {
  sim::Machine& m = sim::PlatformCall("RegOpenKeyExA", M().registry.PathOf(root) + "\\" + Str(subKey));
  if (const auto error = m.PlantedError()) {
    return static_cast<LONG>(*error);
  }
  if (options != 0) {
    return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  }
  return M().registry.OpenKey(root, subKey, access, false, result);
}

LONG RegOpenKeyA(HKEY root, const char* subKey, HKEY* result) {
  sim::Machine& m = sim::PlatformCall("RegOpenKeyA", M().registry.PathOf(root) + "\\" + Str(subKey));
  if (const auto error = m.PlantedError()) {
    return static_cast<LONG>(*error);
  }
  return M().registry.OpenKey(root, subKey, 0, true, result);
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  sim::Machine& m = sim::PlatformCall("RegSetValueExA", M().registry.PathOf(key));
  if (const auto error = m.PlantedError()) {
    return static_cast<LONG>(*error);
  }
  if (reserved != 0) {
    return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  }
  return M().registry.SetValueEx(key, name, type, data, size);
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
  sim::Machine& m = sim::PlatformCall("RegQueryValueExA", M().registry.PathOf(key));
  if (const auto error = m.PlantedError()) {
    return static_cast<LONG>(*error);
  }
  if (reserved != nullptr) {
    return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  }
  return M().registry.QueryValueEx(key, name, type, data, size);
}

LONG RegFlushKey(HKEY key) {
  sim::Machine& m = sim::PlatformCall("RegFlushKey", M().registry.PathOf(key));
  if (const auto error = m.PlantedError()) {
    return static_cast<LONG>(*error);
  }
  return M().registry.FlushKey(key);
}

LONG RegCloseKey(HKEY key) {
  sim::PlatformCall("RegCloseKey", M().registry.PathOf(key));
  return M().registry.CloseKey(key);
}

}  // namespace win
