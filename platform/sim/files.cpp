#include "platform/sim/files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/sim/text.h"

namespace sim {
namespace {

constexpr win::DWORD kErrorInvalidName = 123;
constexpr win::DWORD kErrorBadNetPath = 53;

void RemoveTree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
          RemoveTree(path + "/" + name);
        }
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

// The entry of directory dir whose name equals name without regard to case.
std::optional<std::string> FindEntry(const std::string& dir, const std::string& name) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) {
    return std::nullopt;
  }
  std::optional<std::string> found;
  while (dirent* entry = readdir(handle)) {
    if (EqualsNoCase(entry->d_name, name)) {
      found = entry->d_name;
      break;
    }
  }
  closedir(handle);
  return found;
}

bool IsDirectory(const std::string& host) {
  struct stat st {};
  return stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool HasInvalidCharacter(const std::string& component) {
  for (unsigned char c : component) {
    if (c < 32 || std::strchr("<>:\"|?*", c) != nullptr) {
      return true;
    }
  }
  return false;
}

}  // namespace

FileSystem::FileSystem() {
  char pattern[] = "/tmp/dstpatch-sim-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("cannot create the simulated machine's disk folder");
  }
  root_ = pattern;
  mkdir((root_ + "/C").c_str(), 0755);
  mkdir((root_ + "/D").c_str(), 0755);
}

FileSystem::~FileSystem() { RemoveTree(root_); }

// Windows path rules that matter here: drive letters, "\\" and "/" as
// separators, repeated separators collapsed, "." and ".." folded, trailing
// periods and blanks dropped as below, case-insensitive names.
FileSystem::Resolved FileSystem::Resolve(std::string_view path) const {
  std::string p(path);
  char drive = 'C';
  size_t pos = 0;
  if (p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]))) {
    drive = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
    pos = 2;
  } else if (p.size() >= 2 && (p[0] == '\\' || p[0] == '/') && (p[1] == '\\' || p[1] == '/')) {
    return {"", "", kErrorBadNetPath};
  }
  std::vector<std::string> parts;
  while (pos <= p.size()) {
    size_t end = p.find_first_of("\\/", pos);
    if (end == std::string::npos) {
      end = p.size();
    }
    std::string component = p.substr(pos, end - pos);
    pos = end + 1;
    if (component == "." || component.empty()) {
      continue;
    }
    if (component == "..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
      continue;
    }
    // Windows drops one period that ends a segment, and every trailing
    // period and blank of the path's last segment; blanks at the end of an
    // inner segment are part of its name ("C:\\Site \\data" is not
    // "C:\\Site\\data"). Wine does the same.
    if (end == p.size()) {
      while (!component.empty() && (component.back() == ' ' || component.back() == '.')) {
        component.pop_back();
      }
    } else if (component.size() >= 2 && component.back() == '.' && component[component.size() - 2] != '.') {
      component.pop_back();
    }
    if (component.empty()) {
      continue;
    }
    if (HasInvalidCharacter(component)) {
      return {"", "", kErrorInvalidName};
    }
    parts.push_back(component);
  }
  std::string host = root_ + "/" + std::string(1, drive);
  if (!IsDirectory(host)) {
    return {"", "", win::ERROR_PATH_NOT_FOUND};
  }
  std::string key = std::string(1, drive) + ":";
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    auto found = FindEntry(host, parts[i]);
    host += "/" + found.value_or(parts[i]);
    key += "\\" + ToLowerAscii(parts[i]);
    if (!last && !IsDirectory(host)) {
      return {host, key, win::ERROR_PATH_NOT_FOUND};
    }
  }
  return {host, key, 0};
}

std::string FileSystem::HostPathOf(std::string_view path) const {
  Resolved r = Resolve(path);
  return r.error == 0 ? r.host : std::string();
}

void FileSystem::MakeDirectory(std::string_view path) {
  std::string p(path);
  size_t pos = p.find_first_of("\\/", 3);
  while (true) {
    std::string prefix = pos == std::string::npos ? p : p.substr(0, pos);
    Resolved r = Resolve(prefix);
    if (!r.host.empty() && !IsDirectory(r.host)) {
      mkdir(r.host.c_str(), 0755);
    }
    if (pos == std::string::npos) {
      break;
    }
    pos = p.find_first_of("\\/", pos + 1);
  }
}

void FileSystem::WriteFile(std::string_view path, std::string_view content) {
  std::string p(path);
  size_t slash = p.find_last_of("\\/");
  if (slash != std::string::npos && slash > 2) {
    MakeDirectory(p.substr(0, slash));
  }
  Resolved r = Resolve(path);
  if (r.error != 0) {
    throw std::runtime_error("test set-up: cannot write " + p);
  }
  std::ofstream out(r.host, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool FileSystem::Exists(std::string_view path) const {
  Resolved r = Resolve(path);
  struct stat st {};
  return r.error == 0 && stat(r.host.c_str(), &st) == 0;
}

std::optional<std::string> FileSystem::ReadFile(std::string_view path) const {
  Resolved r = Resolve(path);
  if (r.error != 0 || IsDirectory(r.host)) {
    return std::nullopt;
  }
  std::ifstream in(r.host, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void FileSystem::SetReadOnly(std::string_view path, bool readOnly) { readOnly_[Resolve(path).key] = readOnly; }

win::DWORD FileSystem::WriteOpenError(const Resolved& r, win::DWORD access, win::DWORD shareMode, bool* exists) const {
  struct stat st {};
  *exists = stat(r.host.c_str(), &st) == 0;
  if (*exists && (S_ISDIR(st.st_mode) || IsReadOnly(r.key))) {
    return win::ERROR_ACCESS_DENIED;
  }
  return ShareConflict(r.key, access, shareMode) ? win::ERROR_SHARING_VIOLATION : 0;
}

bool FileSystem::IsReadOnly(const std::string& key) const {
  auto it = readOnly_.find(key);
  return it != readOnly_.end() && it->second;
}

void FileSystem::FailWrites(std::string_view path, win::DWORD code) { writeFailures_[Resolve(path).key] = code; }

win::DWORD FileSystem::WriteFailure(const std::string& key) const {
  auto it = writeFailures_.find(key);
  return it == writeFailures_.end() ? 0 : it->second;
}

int FileSystem::HoldOpen(std::string_view path, win::DWORD access, win::DWORD shareMode) {
  Resolved r = Resolve(path);
  const int hold = --nextHold_;
  opens[hold] = OpenFile{r.key, r.host, access, shareMode};
  return hold;
}

void FileSystem::ReleaseHold(int hold) { opens.erase(hold); }

// Windows grants a new open only when every existing open shares what the
// new one asks for, and the new one shares what every existing one holds.
bool FileSystem::ShareConflict(const std::string& key, win::DWORD access, win::DWORD shareMode) const {
  constexpr win::DWORD kDelete = 0x00010000;
  auto wants = [](win::DWORD a, win::DWORD generic, win::DWORD specific) {
    return (a & generic) != 0 || (a & specific) != 0;
  };
  for (const auto& [owner, open] : opens) {
    if (open.key != key) {
      continue;
    }
    const bool newReads = wants(access, win::GENERIC_READ, 0x1);
    const bool newWrites = wants(access, win::GENERIC_WRITE, 0x2);
    const bool newDeletes = (access & kDelete) != 0;
    const bool oldReads = wants(open.access, win::GENERIC_READ, 0x1);
    const bool oldWrites = wants(open.access, win::GENERIC_WRITE, 0x2);
    const bool oldDeletes = (open.access & kDelete) != 0;
    if ((newReads && !(open.shareMode & win::FILE_SHARE_READ)) ||
        (newWrites && !(open.shareMode & win::FILE_SHARE_WRITE)) ||
        (newDeletes && !(open.shareMode & win::FILE_SHARE_DELETE)) ||
        (oldReads && !(shareMode & win::FILE_SHARE_READ)) || (oldWrites && !(shareMode & win::FILE_SHARE_WRITE)) ||
        (oldDeletes && !(shareMode & win::FILE_SHARE_DELETE))) {
      return true;
    }
  }
  return false;
}

}  // namespace sim
