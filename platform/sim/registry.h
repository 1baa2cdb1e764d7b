// The simulated registry: keys and typed values under HKLM and HKCR, names
// matched without regard to case.
#pragma once

#include <cstdint>
#include <map>
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

  // --- Set-up and inspection by tests. Paths are "HKLM\\Software\\..." or "HKCR\\...".
  void SetValue(const std::string& path, const std::string& name, win::DWORD type, std::vector<uint8_t> data);
  void SetString(const std::string& path, const std::string& name, std::string_view text);  // REG_SZ, NUL included
  void DeleteKey(const std::string& path);                                                  // with its subkeys
  bool KeyExists(const std::string& path) const;
  std::optional<Value> GetValue(const std::string& path, const std::string& name) const;

  // --- The Windows calls ---
  win::LONG OpenKey(win::HKEY root, const char* subKey, win::REGSAM access, win::HKEY* result);
  win::LONG SetValueEx(win::HKEY key, const char* name, win::DWORD type, const win::BYTE* data, win::DWORD size);
  win::LONG QueryValueEx(win::HKEY key, const char* name, win::DWORD* type, win::BYTE* data, win::DWORD* size);
  win::LONG CloseKey(win::HKEY key);
  win::LONG FlushKey(win::HKEY key);
  // Keys whose values were written and not flushed to disk since: what a
  // power cut would lose.
  const std::set<std::string, NoCaseLess>& Unflushed() const { return unflushed_; }
  // The path of a root or open key, for call records; "" for any other handle.
  std::string PathOf(win::HKEY key) const;

 private:
  struct Opened {
    std::string path;
    win::REGSAM granted;
  };
  // The open key's record when it grants right, else the error.
  win::LONG Check(win::HKEY key, win::REGSAM right, const Opened** opened) const;

  // Each key that holds values, by its path; one with subkeys only exists through them.
  std::map<std::string, std::map<std::string, Value, NoCaseLess>, NoCaseLess> keys_;
  std::map<uintptr_t, Opened> open_;
  std::set<std::string, NoCaseLess> unflushed_;
};

}  // namespace sim
