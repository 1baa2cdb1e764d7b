// The simulated registry: keys and typed values under HKLM and HKCR, names
// matched without regard to case.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
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
  void SetValue(const std::string& path, const std::string& name, win::DWORD type, std::vector<uint8_t> data) {
    keys_[path][name] = Value{type, std::move(data)};
  }
  void SetString(const std::string& path, const std::string& name, std::string_view text);  // REG_SZ, NUL included
  // A key exists while it holds values (those the patch opens all do).
  void DeleteKey(const std::string& path) { keys_.erase(path); }
  bool KeyExists(const std::string& path) const { return keys_.count(path) != 0; }
  std::optional<Value> GetValue(const std::string& path, const std::string& name) const;
  // Keys whose values were written and not flushed to disk since: what a
  // power cut would lose.
  const std::set<std::string, NoCaseLess>& Unflushed() const { return unflushed; }

  // --- State of the Windows calls ---
  struct Opened {
    std::string path;
    win::REGSAM access;  // granted
  };
  std::map<uintptr_t, Opened> open;
  std::set<std::string, NoCaseLess> unflushed;
  // The path of a root or open key, for call records; "" for any other handle.
  std::string PathOf(win::HKEY key) const;

 private:
  std::map<std::string, std::map<std::string, Value, NoCaseLess>, NoCaseLess> keys_;
};

}  // namespace sim
