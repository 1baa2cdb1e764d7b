// The simulated machine's profile files against their own rules, with
// fuzzed files, names and values: a read after a write gives the written
// value, and every line that the write did not concern stays byte for byte.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace {

constexpr char kPath[] = "C:\\Site\\data\\pelio.ini";

// The input's fields, separated by zero bytes: file, section, key, value.
std::vector<std::string> Fields(const uint8_t* data, size_t size) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && fields.size() < 4) {
      fields.emplace_back();
    } else {
      fields.back() += static_cast<char>(data[i]);
    }
  }
  fields.resize(4);
  return fields;
}

// A name or value the profile form can hold as it is: one line, no blanks
// at either end, no character that ends a name.
bool Representable(const std::string& text, const std::string& forbidden) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return !text.empty() && !blank(text.front()) && !blank(text.back()) &&
         text.find_first_of(forbidden + std::string("\r\n\0", 3)) == std::string::npos;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t feed = text.find('\n', pos);
    const size_t next = feed == std::string::npos ? text.size() : feed + 1;
    lines.push_back(text.substr(pos, next - pos));
    pos = next;
  }
  return lines;
}

// A write touches one place: apart from one line (the entry whose value
// was replaced) and at most three new ones, before and after share their
// leading and trailing lines; the last line may have gained a line end.
bool KeepsUntouchedLines(const std::string& before, const std::string& after) {
  const std::vector<std::string> old = Lines(before);
  const std::vector<std::string> now = Lines(after);
  const auto same = [&](size_t i, size_t j) {
    return old[i] == now[j] || (i + 1 == old.size() && now[j] == old[i] + "\r\n");
  };
  size_t prefix = 0;
  while (prefix < old.size() && prefix < now.size() && same(prefix, prefix)) {
    ++prefix;
  }
  size_t suffix = 0;
  while (prefix + suffix < old.size() && prefix + suffix < now.size() &&
         same(old.size() - 1 - suffix, now.size() - 1 - suffix)) {
    ++suffix;
  }
  return old.size() - prefix - suffix <= 1 && now.size() - prefix - suffix <= 3;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> f = Fields(data, size);
  const std::string& file = f[0];
  const std::string& section = f[1];
  const std::string& key = f[2];
  const std::string& value = f[3];
  if (!Representable(section, "[]") || !Representable(key, "=[];") || !Representable(value, "\"'") ||
      value.size() > 1000) {
    return 0;
  }
  sim::Machine machine;
  machine.files.WriteFile(kPath, file);
  if (!win::WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), kPath)) {
    std::abort();
  }
  char read[1024] = {};
  win::GetPrivateProfileStringA(section.c_str(), key.c_str(), "", read, sizeof read, kPath);
  const std::string after = machine.files.ReadFile(kPath).value_or("");
  if (read != value || !KeepsUntouchedLines(file, after)) {
    std::abort();
  }
  return 0;
}
