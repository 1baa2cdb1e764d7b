// The simulated registry: keys and typed values under the predefined roots,
// names matched without regard to case.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/text.h"
#include "platform/win.h"

namespace sim {

struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const { return ToLowerAscii(a) < ToLowerAscii(b); }
};

class Registry {
 public:
  struct Value {
    win::DWORD type = win::REG_NONE;
    std::vector<uint8_t> data;
  };

  // --- Set-up and inspection by tests. Paths start with a root name:
  // "HKLM\\Software\\..." (also HKCR, HKCU and the HKEY_... spellings).
  void SetValue(std::string_view path, std::string_view name, win::DWORD type, std::vector<uint8_t> data);
  void SetString(std::string_view path, std::string_view name, std::string_view text);  // REG_SZ, NUL included
  void DeleteKey(std::string_view path);
  bool KeyExists(std::string_view path) const;
  std::optional<Value> GetValue(std::string_view path, std::string_view name) const;

  // --- The Windows calls ---
  win::LONG OpenKey(win::HKEY root, const char* subKey, win::REGSAM access, bool maximumAllowed, win::HKEY* result);
  win::LONG SetValueEx(win::HKEY key, const char* name, win::DWORD type, const win::BYTE* data, win::DWORD size);
  win::LONG QueryValueEx(win::HKEY key, const char* name, win::DWORD* type, win::BYTE* data, win::DWORD* size);
  win::LONG CloseKey(win::HKEY key);
  win::LONG FlushKey(win::HKEY key);
  // Keys ("HKLM\\...") whose values were written and not flushed to disk
  // since: what a power cut would lose.
  const std::set<std::string, NoCaseLess>& Unflushed() const { return unflushed_; }
  // Full path ("HKLM\\...") of an open key, for call records.
  std::string PathOf(win::HKEY key) const;

 private:
  struct Key {
    std::map<std::string, std::unique_ptr<Key>, NoCaseLess> subkeys;
    std::map<std::string, Value, NoCaseLess> values;
  };
  struct OpenKeyRecord {
    std::string path;  // "HKLM\\..." as canonical form
    win::REGSAM granted;
  };

  Key* Find(std::string_view path) const;
  Key* FindOrCreate(std::string_view path);
  std::string RootName(win::HKEY root) const;

  std::map<std::string, std::unique_ptr<Key>, NoCaseLess> roots_;
  std::map<uintptr_t, OpenKeyRecord> openKeys_;
  std::set<std::string, NoCaseLess> unflushed_;
};

}  // namespace sim
