#include "platform/sim/files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/sim/machine.h"
#include "platform/sim/mutexes.h"
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
  MakeDirectory(tempPath);
  Close(Resolve("C:\\Windows").key);
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
  std::string parent = host;
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    auto found = FindEntry(host, parts[i]);
    parent = host;
    host += "/" + found.value_or(parts[i]);
    if (!last && !IsDirectory(host)) {
      return {host, ToLowerAscii(host), win::ERROR_PATH_NOT_FOUND};
    }
  }
  // Links inside the path are followed, as Windows follows them: the file
  // is known by the folder it really lies in.
  char real[PATH_MAX];
  std::string key = realpath(parent.c_str(), real) == nullptr ? parent : std::string(real);
  if (!parts.empty()) {
    key += "/" + parts.back();
  }
  return {host, ToLowerAscii(key), 0};
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

win::DWORD FileSystem::WriteOpenError(const Resolved& r, win::DWORD access, win::DWORD shareMode, bool* exists) const {
  struct stat st {};
  *exists = stat(r.host.c_str(), &st) == 0;
  if (*exists && S_ISDIR(st.st_mode)) {
    return win::ERROR_ACCESS_DENIED;
  }
  return ShareConflict(r.key, access, shareMode) ? win::ERROR_SHARING_VIOLATION : 0;
}

void FileSystem::MakeLink(std::string_view path, std::string_view target) {
  const std::string p(path);
  const size_t slash = p.find_last_of("\\/");
  MakeDirectory(p.substr(0, slash));
  const Resolved r = Resolve(path);
  const Resolved t = Resolve(target);
  if (r.error != 0 || t.error != 0 || symlink(t.host.c_str(), r.host.c_str()) != 0) {
    throw std::runtime_error("test set-up: cannot make the link " + p);
  }
}

void FileSystem::MakeHardLink(std::string_view path, std::string_view target) {
  const Resolved r = Resolve(path);
  const Resolved t = Resolve(target);
  if (r.error != 0 || t.error != 0 || link(t.host.c_str(), r.host.c_str()) != 0) {
    throw std::runtime_error("test set-up: cannot make the hard link " + std::string(path));
  }
}

namespace {

// Whether key names the folder folder or lies in it.
bool IsIn(const std::string& key, const std::string& folder) {
  return key.size() > folder.size() && key.compare(0, folder.size(), folder) == 0 && key[folder.size()] == '/';
}

}  // namespace

void FileSystem::SetOwner(std::string_view path, const std::string& sid) { owners_[Resolve(path).key] = sid; }

std::string FileSystem::OwnerOf(win::HANDLE file) const {
  const auto open = opens.find(reinterpret_cast<intptr_t>(file));
  if (open == opens.end()) {
    return "";
  }
  const auto owner = owners_.find(open->second.key);
  return owner == owners_.end() ? kAdministratorsSid : owner->second;
}

bool FileSystem::ReplaceWithLink(std::string_view path, std::string_view target) {
  const Resolved r = Resolve(path);
  if (r.error != 0) {
    return false;
  }
  for (const std::string& closed : closed_) {
    if (r.key == closed || IsIn(r.key, closed)) {
      return false;
    }
  }
  constexpr win::DWORD kDelete = 0x00010000;
  for (const auto& [owner, open] : opens) {
    const bool inside = IsIn(open.key, r.key);
    if (inside ||
        (open.key == r.key &&
         ShareConflict(r.key, kDelete, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE))) {
      return false;
    }
  }
  RemoveTree(r.host);
  MakeLink(path, target);
  owners_[r.key] = kClerkSid;
  return true;
}

namespace {

// Opens for anything beyond attributes and synchronisation take part in
// sharing; the others neither check nor restrict it, on Windows as here.
bool TakesPartInSharing(win::DWORD access) {
  constexpr win::DWORD kData = 0x1 | 0x2 | 0x4 | 0x20 | 0x00010000;  // read, write, append, execute, delete
  constexpr win::DWORD kGeneric = 0xF0000000;
  return (access & (kData | kGeneric)) != 0;
}

}  // namespace

// Windows grants a new open only when every existing open shares what the
// new one asks for, and the new one shares what every existing one holds.
bool FileSystem::ShareConflict(const std::string& key, win::DWORD access, win::DWORD shareMode) const {
  constexpr win::DWORD kDelete = 0x00010000;
  auto wants = [](win::DWORD a, win::DWORD generic, win::DWORD specific) {
    return (a & generic) != 0 || (a & specific) != 0;
  };
  if (!TakesPartInSharing(access)) {
    return false;
  }
  for (const auto& [owner, open] : opens) {
    if (open.key != key || !TakesPartInSharing(open.access)) {
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

// --- The Windows file calls ---

namespace win {
namespace {

sim::Machine& M() { return sim::Machine::Current(); }

BOOL Fail(DWORD code) { return M().Fail(code); }

using sim::Str;

// What a name is, seen from its own entry (lstat) and, unless it is a link
// that is not followed, from what it names (stat).
struct Entry {
  bool exists = false;  // the name is there (a dangling link too)
  bool link = false;
  bool directory = false;
  bool reached = false;  // what it names is there
};

Entry Look(const std::string& host) {
  Entry e;
  struct stat st {};
  if (lstat(host.c_str(), &st) != 0) {
    return e;
  }
  e.exists = true;
  e.link = S_ISLNK(st.st_mode);
  if (e.link && stat(host.c_str(), &st) != 0) {
    return e;  // a link to nothing
  }
  e.reached = true;
  e.directory = S_ISDIR(st.st_mode);
  return e;
}

// A protected DACL ("D:P", nothing inherited) whose entries all name SYSTEM
// or Administrators.
bool LetsInOnlySystemAndAdministrators(const std::string& sddl) {
  size_t at = sddl.find("D:P(");
  if (at == std::string::npos) {
    return false;
  }
  for (at += 3; at < sddl.size() && sddl[at] == '(';) {
    const size_t end = sddl.find(')', at);
    if (end == std::string::npos) {
      return false;
    }
    const std::string trustee = sddl.substr(sddl.rfind(';', end) + 1, end - sddl.rfind(';', end) - 1);
    if (trustee != "SY" && trustee != "BA") {
      return false;
    }
    at = end + 1;
  }
  return at == sddl.size();
}

DWORD AttributesOf(const std::string& host, bool followLink) {
  const Entry e = Look(host);
  DWORD attributes = e.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (e.link && !followLink) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return attributes;
}

}  // namespace

// The attributes of the name itself: a link at the end of the path is not
// followed, and reports itself as a reparse point (a folder junction also as
// a folder), as Windows reports it. (Wine 8 follows a link to a file here.)
// Each call's object is the path as the program gives it, or for a call on
// a handle the path it was opened by.
DWORD GetFileAttributesA(const char* path) {
  sim::Machine& m = sim::PlatformCall("GetFileAttributesA", Str(path));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, INVALID_FILE_ATTRIBUTES);
  }
  const sim::FileSystem::Resolved r = M().files.Resolve(Str(path));
  if (r.error != 0) {
    M().lastError = r.error;
    return INVALID_FILE_ATTRIBUTES;
  }
  if (!Look(r.host).exists) {
    M().lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(r.host, false);
}

HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile) {
  sim::Machine& m = sim::PlatformCall("CreateFileA", Str(path));
  auto fail = [&m](DWORD code) { return m.Fail(code, INVALID_HANDLE_VALUE); };
  if (const auto error = m.PlantedError()) {
    return fail(*error);  // 32: another program holds it without sharing; 5: it is read-only
  }
  constexpr DWORD kKnownFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  if (security != nullptr || templateFile != nullptr || (flags & ~kKnownFlags) != 0 ||
      (disposition != CREATE_NEW && disposition != CREATE_ALWAYS && disposition != OPEN_EXISTING)) {
    return fail(ERROR_INVALID_PARAMETER);  // the simulation knows only what the patch asks for
  }
  sim::FileSystem& fs = M().files;
  const sim::FileSystem::Resolved r = fs.Resolve(Str(path));
  if (r.error != 0) {
    return fail(r.error);
  }
  const bool openLink = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  const Entry e = Look(r.host);
  // A followed link is opened as what it names, known by where that lies.
  std::string key = r.key;
  std::string host = r.host;
  if (e.link && !openLink && e.reached) {
    char real[PATH_MAX];
    if (realpath(r.host.c_str(), real) != nullptr) {
      host = real;
      key = sim::ToLowerAscii(host);
    }
  }
  const bool writes = (access & GENERIC_WRITE) != 0;
  switch (disposition) {
    case CREATE_NEW:
      if (e.exists) {
        return fail(ERROR_FILE_EXISTS);  // whatever the name is, a dangling link too
      }
      break;
    case OPEN_EXISTING:
      if (!e.exists || (!e.reached && !openLink)) {
        return fail(ERROR_FILE_NOT_FOUND);
      }
      if (e.directory && (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
        return fail(ERROR_ACCESS_DENIED);  // a folder opens only with backup semantics
      }
      if (e.directory && writes) {
        return fail(ERROR_ACCESS_DENIED);
      }
      if (fs.ShareConflict(key, access, shareMode)) {
        return fail(ERROR_SHARING_VIOLATION);
      }
      break;
    default: {  // CREATE_ALWAYS follows a link at the end and truncates what it names
      bool exists = false;
      const sim::FileSystem::Resolved target{host, key, 0};
      if (const DWORD error = fs.WriteOpenError(target, access, shareMode, &exists)) {
        return fail(error);
      }
      break;
    }
  }
  if (disposition != OPEN_EXISTING) {
    std::ofstream create(host, std::ios::binary | std::ios::trunc);
    if (!create) {
      return fail(ERROR_ACCESS_DENIED);
    }
  }
  auto* handle = M().handles.Add<HANDLE>(sim::HandleKind::File, Str(path));
  fs.opens[reinterpret_cast<intptr_t>(handle)] =
      sim::FileSystem::OpenFile{Str(path), key, host, access, shareMode, 0, e.link && openLink};
  // CREATE_ALWAYS over an existing file succeeds and says so this way.
  M().lastError = disposition == CREATE_ALWAYS && e.exists ? ERROR_ALREADY_EXISTS : 0;
  return handle;
}

namespace {

sim::FileSystem::OpenFile* OpenOf(HANDLE file) {
  auto it = M().files.opens.find(reinterpret_cast<intptr_t>(file));
  if (it == M().files.opens.end() || !M().handles.Is(file, sim::HandleKind::File)) {
    M().lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  return &it->second;
}

// The call on an open file, counted with the path it was opened by; the
// error of a fault planted for it.
std::optional<DWORD> OnFile(const char* call, HANDLE file) {
  auto it = M().files.opens.find(reinterpret_cast<intptr_t>(file));
  return sim::PlatformCall(call, it == M().files.opens.end() ? "?" : it->second.path).PlantedError();
}

}  // namespace

BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void* overlapped) {
  const std::optional<DWORD> planted = OnFile("WriteFile", file);
  if (written != nullptr) {
    *written = 0;
  }
  if (planted) {
    return Fail(*planted);  // 112: the disk is full
  }
  sim::FileSystem::OpenFile* open = OpenOf(file);
  if (open == nullptr || overlapped != nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if ((open->access & GENERIC_WRITE) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  std::fstream out(open->host, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(open->position));
  out.write(static_cast<const char*>(data), size);
  if (!out) {
    return Fail(ERROR_DISK_FULL);
  }
  open->position += size;
  M().files.MarkWritten(open->key);
  if (written != nullptr) {
    *written = size;
  }
  return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read, void* overlapped) {
  const std::optional<DWORD> planted = OnFile("ReadFile", file);
  if (read != nullptr) {
    *read = 0;
  }
  if (planted) {
    return Fail(*planted);
  }
  sim::FileSystem::OpenFile* open = OpenOf(file);
  if (open == nullptr || overlapped != nullptr || read == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if ((open->access & (GENERIC_READ | 0x1)) == 0 || Look(open->host).directory) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  std::ifstream in(open->host, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(open->position));
  in.read(static_cast<char*>(buffer), size);
  *read = static_cast<DWORD>(in.gcount());  // 0 at the end of the file, which is no failure
  open->position += *read;
  return TRUE;
}

// From the start only, as the patch moves it.
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
  if (const auto error = OnFile("SetFilePointer", file)) {
    return M().Fail(*error, INVALID_SET_FILE_POINTER);
  }
  sim::FileSystem::OpenFile* open = OpenOf(file);
  if (open == nullptr) {
    return INVALID_SET_FILE_POINTER;
  }
  if (method != FILE_BEGIN || distance < 0 || (distanceHigh != nullptr && *distanceHigh != 0)) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return INVALID_SET_FILE_POINTER;
  }
  open->position = static_cast<uint64_t>(distance);
  return static_cast<DWORD>(distance);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  if (const auto error = OnFile("GetFileInformationByHandle", file)) {
    return Fail(*error);
  }
  const sim::FileSystem::OpenFile* open = OpenOf(file);
  if (open == nullptr) {
    return FALSE;
  }
  struct stat st {};
  if ((open->link ? lstat(open->host.c_str(), &st) : stat(open->host.c_str(), &st)) != 0) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  *info = BY_HANDLE_FILE_INFORMATION{};
  info->dwFileAttributes = AttributesOf(open->host, !open->link);
  info->dwVolumeSerialNumber = 0x5EED;
  info->nFileSizeLow = static_cast<DWORD>(st.st_size);
  info->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
  // A folder counts one name on Windows, whatever its subfolders.
  info->nNumberOfLinks = S_ISDIR(st.st_mode) ? 1 : static_cast<DWORD>(st.st_nlink);
  info->nFileIndexLow = static_cast<DWORD>(st.st_ino);
  info->nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32);
  return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
  if (const auto error = OnFile("SetEndOfFile", file)) {
    return Fail(*error);
  }
  const sim::FileSystem::OpenFile* open = OpenOf(file);
  if (open == nullptr) {
    return FALSE;
  }
  if ((open->access & GENERIC_WRITE) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (truncate(open->host.c_str(), static_cast<off_t>(open->position)) != 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  M().files.MarkWritten(open->key);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  if (const auto error = OnFile("FlushFileBuffers", file)) {
    return Fail(*error);
  }
  const sim::FileSystem::OpenFile* open = OpenOf(file);
  if (open == nullptr) {
    return FALSE;
  }
  if ((open->access & GENERIC_WRITE) == 0) {
    return Fail(ERROR_ACCESS_DENIED);  // Windows flushes only through a handle that may write
  }
  M().files.MarkFlushed(open->key);  // everything of the file, whichever handle wrote it
  return TRUE;
}

// Deletes the name: a link is removed itself, never what it names; a folder,
// a junction to one included, is refused with 5, as Windows refuses it.
BOOL DeleteFileA(const char* path) {
  if (const auto error = sim::PlatformCall("DeleteFileA", Str(path)).PlantedError()) {
    return Fail(*error);  // 5: it is read-only; 32: another program holds it
  }
  sim::FileSystem& fs = M().files;
  const sim::FileSystem::Resolved r = fs.Resolve(Str(path));
  if (r.error != 0) {
    return Fail(r.error);
  }
  const Entry e = Look(r.host);
  if (!e.exists) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  if (e.directory) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (fs.ShareConflict(r.key, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return Fail(ERROR_SHARING_VIOLATION);
  }
  unlink(r.host.c_str());
  return TRUE;
}

// A folder made by the run is owned by the token's default owner
// (Administrators, for an administrator's or SYSTEM's run) unless its
// descriptor names one; one whose descriptor lets in SYSTEM and
// Administrators only, and inherits nothing, is closed to users.
BOOL CreateDirectoryA(const char* path, void* security) {
  if (const auto error = sim::PlatformCall("CreateDirectoryA", Str(path)).PlantedError()) {
    return Fail(*error);
  }
  std::string owner = sim::kAdministratorsSid;
  std::string sddl = "(null)";
  if (security != nullptr) {
    const auto* attributes = static_cast<const SECURITY_ATTRIBUTES*>(security);
    std::string named;
    if (attributes->nLength != sizeof(SECURITY_ATTRIBUTES) ||
        !sim::ReadDescriptor(attributes->lpSecurityDescriptor, named, sddl)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    owner = named.empty() ? owner : named;
  }
  sim::FileSystem& fs = M().files;
  const sim::FileSystem::Resolved r = fs.Resolve(Str(path));
  if (r.error != 0) {
    return Fail(r.error);
  }
  if (Look(r.host).exists) {
    return Fail(ERROR_ALREADY_EXISTS);  // whatever the name is, a dangling link too
  }
  if (mkdir(r.host.c_str(), 0755) != 0) {
    return Fail(ERROR_PATH_NOT_FOUND);
  }
  fs.SetOwner(Str(path), owner);
  fs.madeFolders.emplace_back(Str(path), sddl);
  if (LetsInOnlySystemAndAdministrators(sddl)) {
    fs.Close(r.key);
  }
  return TRUE;
}

// Removes an empty folder, or a link to one (the link itself). Windows
// refuses while any open of it does not share delete access.
BOOL RemoveDirectoryA(const char* path) {
  if (const auto error = sim::PlatformCall("RemoveDirectoryA", Str(path)).PlantedError()) {
    return Fail(*error);
  }
  sim::FileSystem& fs = M().files;
  const sim::FileSystem::Resolved r = fs.Resolve(Str(path));
  if (r.error != 0) {
    return Fail(r.error);
  }
  const Entry e = Look(r.host);
  if (!e.exists) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  if (!e.directory) {
    return Fail(267);  // ERROR_DIRECTORY
  }
  if (fs.ShareConflict(r.key, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return Fail(ERROR_SHARING_VIOLATION);
  }
  if ((e.link ? unlink(r.host.c_str()) : rmdir(r.host.c_str())) != 0) {
    return Fail(145);  // ERROR_DIR_NOT_EMPTY
  }
  return TRUE;
}

// The length copied, or, where the buffer is too small, the size it needs.
DWORD GetTempPathA(DWORD size, char* buffer) {
  if (const auto error = sim::PlatformCall("GetTempPathA").PlantedError()) {
    return M().Fail(*error, DWORD{0});
  }
  const std::string& path = M().files.tempPath;
  if (buffer == nullptr || size <= path.size()) {
    return static_cast<DWORD>(path.size() + 1);
  }
  return sim::CopyOut(path, buffer, size);
}

}  // namespace win
