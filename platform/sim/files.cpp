#include "platform/sim/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/sim/machine.h"
#include "platform/sim/mutexes.h"
#include "platform/sim/text.h"

namespace fs = std::filesystem;

namespace sim {
namespace {

bool IsDirectory(const std::string& host) {
  struct stat st {};
  return stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

FileSystem::FileSystem() {
  char pattern[] = "/tmp/dstpatch-sim-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("cannot create the simulated machine's disk folder");
  }
  root_ = pattern;
  MakeDirectory("D:\\");
  MakeDirectory(tempPath);
}

FileSystem::~FileSystem() {
  std::error_code error;
  fs::remove_all(root_, error);
}

// Windows path rules that matter here: a drive letter, "\\" and "/" as
// separators, repeated separators collapsed, "." and ".." folded,
// case-insensitive names (kept in lower case on the host, as nothing here
// shows a name's case). A name with no folder of that name on the way is
// still mapped, for the set-up to make.
FileSystem::Resolved FileSystem::Resolve(std::string_view path) const {
  const std::string p = ToLowerAscii(path);
  if (p.size() < 2 || p[1] != ':' || std::isalpha(static_cast<unsigned char>(p[0])) == 0) {
    return {"", "", p.rfind("\\\\", 0) == 0 ? 53 : win::ERROR_INVALID_NAME};  // 53: ERROR_BAD_NETPATH
  }
  std::string rest = "/" + p.substr(2);
  std::replace(rest.begin(), rest.end(), '\\', '/');
  std::string normal = fs::path(rest).lexically_normal().string();  // "/a/b", "/" for the drive's root
  if (normal.size() > 1 && normal.back() == '/') {
    normal.pop_back();
  }
  // The folder the name is in must be there (the host's stat of it needs
  // every folder on the way).
  const size_t slash = normal.rfind('/');
  const std::string parent =
      root_ + "/" + static_cast<char>(std::toupper(static_cast<unsigned char>(p[0]))) + normal.substr(0, slash);
  const std::string name = normal.size() > 1 ? normal.substr(slash) : "";
  if (!name.empty() && !IsDirectory(parent)) {
    return {parent + name, "", win::ERROR_PATH_NOT_FOUND};
  }
  // Links inside the path are followed, as Windows follows them: the file
  // is known by the folder it really lies in.
  return {parent + name, fs::weakly_canonical(parent).string() + name, 0};
}

void FileSystem::MakeDirectory(std::string_view path) { fs::create_directories(Resolve(path).host); }

void FileSystem::WriteFile(std::string_view path, std::string_view content) {
  const Resolved r = Resolve(path);
  fs::create_directories(fs::path(r.host).parent_path());
  std::ofstream(r.host, std::ios::binary | std::ios::trunc)
      .write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool FileSystem::Exists(std::string_view path) const {
  const Resolved r = Resolve(path);
  std::error_code error;
  return r.error == 0 && fs::exists(r.host, error);
}

std::optional<std::string> FileSystem::ReadFile(std::string_view path) const {
  Resolved r = Resolve(path);
  std::ifstream in(r.host, std::ios::binary);
  if (r.error != 0 || IsDirectory(r.host) || !in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void FileSystem::MakeLink(std::string_view path, std::string_view target) {
  fs::create_directories(fs::path(Resolve(path).host).parent_path());
  if (symlink(Resolve(target).host.c_str(), Resolve(path).host.c_str()) != 0) {
    throw std::runtime_error("test set-up: cannot make the link " + std::string(path));
  }
}

void FileSystem::MakeHardLink(std::string_view path, std::string_view target) {
  if (link(Resolve(target).host.c_str(), Resolve(path).host.c_str()) != 0) {
    throw std::runtime_error("test set-up: cannot make the hard link " + std::string(path));
  }
}

void FileSystem::SetOwner(std::string_view path, const std::string& sid) { owners_[Resolve(path).key] = sid; }

std::string FileSystem::OwnerOf(win::HANDLE file) const {
  const auto owner = owners_.find(opens.at(reinterpret_cast<intptr_t>(file)).key);
  return owner == owners_.end() ? kAdministratorsSid : owner->second;
}

bool FileSystem::ReplaceWithLink(std::string_view path, std::string_view target) {
  const Resolved r = Resolve(path);
  if (r.error != 0 || HeldFromDelete(r.key, true)) {
    return false;
  }
  fs::remove_all(r.host);
  MakeLink(path, target);
  owners_[r.key] = kClerkSid;
  return true;
}

// Opens for attributes alone take no part in sharing, on Windows as here.
bool FileSystem::HeldFromDelete(const std::string& key, bool inside) const {
  constexpr win::DWORD kData = win::GENERIC_READ | win::GENERIC_WRITE | win::DELETE;
  for (const auto& [handle, open] : opens) {
    if ((inside && open.key.rfind(key + "/", 0) == 0) ||
        (open.key == key && (open.access & kData) != 0 && (open.shareMode & win::FILE_SHARE_DELETE) == 0)) {
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

// What a name is, seen from its own entry and, unless it is a link that is
// not followed, from what it names.
struct Entry {
  bool exists = false;  // the name is there (a dangling link too)
  bool link = false;
  bool directory = false;
  bool reached = false;  // what it names is there
};

Entry Look(const std::string& host) {
  std::error_code error;
  const fs::file_status own = fs::symlink_status(host, error);
  const fs::file_status named = fs::status(host, error);
  return {fs::exists(own), fs::is_symlink(own), fs::is_directory(named), fs::exists(named)};
}

DWORD AttributesOf(const std::string& host, bool followLink) {
  const Entry e = Look(host);
  return (e.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) |
         (e.link && !followLink ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
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
  const sim::FileSystem::Resolved r = m.files.Resolve(Str(path));
  if (r.error != 0 || !Look(r.host).exists) {
    return m.Fail(r.error != 0 ? r.error : ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
  }
  return AttributesOf(r.host, false);
}

// Of the dispositions, the two the patch uses. Opens do not check each
// other's sharing (the patch never has one file open twice at once); only
// delete sharing is kept (HeldFromDelete).
HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* /*security*/, DWORD disposition, DWORD flags,
                   HANDLE /*templateFile*/) {
  sim::Machine& m = sim::PlatformCall("CreateFileA", Str(path));
  auto fail = [&m](DWORD code) { return m.Fail(code, INVALID_HANDLE_VALUE); };
  if (const auto error = m.PlantedError()) {
    return fail(*error);  // 32: another program holds it without sharing; 5: it is read-only
  }
  const sim::FileSystem::Resolved r = m.files.Resolve(Str(path));
  if (r.error != 0) {
    return fail(r.error);
  }
  const bool openLink = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  const Entry e = Look(r.host);
  // A followed link is opened as what it names, known by where that lies.
  const bool follow = e.link && !openLink && e.reached;
  const std::string key = follow ? fs::canonical(r.host).string() : r.key;
  if (disposition == CREATE_NEW) {
    if (e.exists) {
      return fail(ERROR_FILE_EXISTS);  // whatever the name is, a dangling link too
    }
    std::ofstream create(key, std::ios::binary);
  } else if (disposition != OPEN_EXISTING) {
    return fail(ERROR_INVALID_PARAMETER);
  } else if (!e.exists || (!e.reached && !openLink)) {
    return fail(ERROR_FILE_NOT_FOUND);
  } else if (e.directory && ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0 || (access & GENERIC_WRITE) != 0)) {
    return fail(ERROR_ACCESS_DENIED);  // a folder opens only with backup semantics, and not to write
  }
  auto* handle = m.handles.Add<HANDLE>(sim::HandleKind::File, Str(path));
  m.files.opens[reinterpret_cast<intptr_t>(handle)] =
      sim::FileSystem::OpenFile{Str(path), key, access, shareMode, 0, e.link && openLink};
  m.lastError = 0;
  return handle;
}

namespace {

// The call on an open file, counted with the path it was opened by: the
// open, or none with the last error set (a planted fault's, 6 for a handle
// that is no open file, 5 for one not opened with the access in need).
sim::FileSystem::OpenFile* OnFile(const char* call, HANDLE file, DWORD need = 0) {
  auto& opens = M().files.opens;
  const auto it = opens.find(reinterpret_cast<intptr_t>(file));
  sim::Machine& m = sim::PlatformCall(call, it == opens.end() ? "?" : it->second.path);
  const std::optional<DWORD> error = m.PlantedError();
  if (error || it == opens.end() || (it->second.access & need) != need) {
    m.lastError = error ? *error : it == opens.end() ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return &it->second;
}

}  // namespace

BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void* /*overlapped*/) {
  sim::FileSystem::OpenFile* open = OnFile("WriteFile", file, GENERIC_WRITE);
  *written = 0;
  if (open == nullptr) {
    return FALSE;  // as for a planted 112: the disk is full
  }
  std::fstream out(open->key, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(open->position));
  out.write(static_cast<const char*>(data), size);
  open->position += size;
  M().files.MarkWritten(open->key);
  *written = size;
  return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read, void* /*overlapped*/) {
  sim::FileSystem::OpenFile* open = OnFile("ReadFile", file, GENERIC_READ);
  *read = 0;
  if (open == nullptr) {
    return FALSE;
  }
  std::ifstream in(open->key, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(open->position));
  in.read(static_cast<char*>(buffer), size);
  *read = static_cast<DWORD>(in.gcount());  // 0 at the end of the file, which is no failure
  open->position += *read;
  return TRUE;
}

// From the start only, as the patch moves it.
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
  sim::FileSystem::OpenFile* open = OnFile("SetFilePointer", file);
  if (open == nullptr) {
    return INVALID_SET_FILE_POINTER;
  }
  if (method != FILE_BEGIN || distance < 0 || (distanceHigh != nullptr && *distanceHigh != 0)) {
    return M().Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  }
  open->position = static_cast<uint64_t>(distance);
  return static_cast<DWORD>(distance);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  const sim::FileSystem::OpenFile* open = OnFile("GetFileInformationByHandle", file);
  if (open == nullptr) {
    return FALSE;
  }
  struct stat st {};
  (void)(open->link ? lstat(open->key.c_str(), &st) : stat(open->key.c_str(), &st));
  *info = BY_HANDLE_FILE_INFORMATION{};  // one volume; sizes the patch does not read
  info->dwFileAttributes = AttributesOf(open->key, !open->link);
  // A folder counts one name on Windows, whatever its subfolders.
  info->nNumberOfLinks = S_ISDIR(st.st_mode) ? 1 : static_cast<DWORD>(st.st_nlink);
  info->nFileIndexLow = static_cast<DWORD>(st.st_ino);
  info->nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32);
  return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
  const sim::FileSystem::OpenFile* open = OnFile("SetEndOfFile", file, GENERIC_WRITE);
  if (open == nullptr) {
    return FALSE;
  }
  if (truncate(open->key.c_str(), static_cast<off_t>(open->position)) != 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  M().files.MarkWritten(open->key);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  // Windows flushes only through a handle that may write.
  const sim::FileSystem::OpenFile* open = OnFile("FlushFileBuffers", file, GENERIC_WRITE);
  if (open == nullptr) {
    return FALSE;
  }
  M().files.MarkFlushed(open->key);  // everything of the file, whichever handle wrote it
  return TRUE;
}

// Deletes the name: a link is removed itself, never what it names; a folder,
// a junction to one included, is refused with 5, as Windows refuses it.
BOOL DeleteFileA(const char* path) {
  sim::Machine& m = sim::PlatformCall("DeleteFileA", Str(path));
  if (const auto error = m.PlantedError()) {
    return Fail(*error);  // 5: it is read-only; 32: another program holds it
  }
  const sim::FileSystem::Resolved r = m.files.Resolve(Str(path));
  const Entry e = Look(r.host);
  if (r.error != 0 || !e.exists) {
    return Fail(r.error != 0 ? r.error : ERROR_FILE_NOT_FOUND);
  }
  if (e.directory) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (m.files.HeldFromDelete(r.key)) {
    return Fail(ERROR_SHARING_VIOLATION);
  }
  unlink(r.host.c_str());
  return TRUE;
}

// A folder made by the run is owned by the token's default owner
// (Administrators, for an administrator's or SYSTEM's run) unless its
// descriptor names one.
BOOL CreateDirectoryA(const char* path, void* security) {
  sim::Machine& m = sim::PlatformCall("CreateDirectoryA", Str(path));
  if (const auto error = m.PlantedError()) {
    return Fail(*error);
  }
  std::string owner;
  std::string sddl = "(null)";
  const auto* attributes = static_cast<const SECURITY_ATTRIBUTES*>(security);
  if (attributes != nullptr && (attributes->nLength != sizeof(SECURITY_ATTRIBUTES) ||
                                !sim::ReadDescriptor(attributes->lpSecurityDescriptor, owner, sddl))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const sim::FileSystem::Resolved r = m.files.Resolve(Str(path));
  if (r.error != 0) {
    return Fail(r.error);
  }
  if (Look(r.host).exists) {
    return Fail(ERROR_ALREADY_EXISTS);  // whatever the name is, a dangling link too
  }
  mkdir(r.host.c_str(), 0755);
  m.files.SetOwner(Str(path), owner.empty() ? sim::kAdministratorsSid : owner);
  m.files.madeFolders.emplace_back(Str(path), sddl);
  return TRUE;
}

// Removes an empty folder, or a link to one (the link itself).
BOOL RemoveDirectoryA(const char* path) {
  sim::Machine& m = sim::PlatformCall("RemoveDirectoryA", Str(path));
  if (const auto error = m.PlantedError()) {
    return Fail(*error);
  }
  const sim::FileSystem::Resolved r = m.files.Resolve(Str(path));
  const Entry e = Look(r.host);
  if (r.error != 0 || !e.exists) {
    return Fail(r.error != 0 ? r.error : ERROR_FILE_NOT_FOUND);
  }
  if (!e.directory) {
    return Fail(267);  // ERROR_DIRECTORY
  }
  if (m.files.HeldFromDelete(r.key)) {
    return Fail(ERROR_SHARING_VIOLATION);
  }
  if ((e.link ? unlink(r.host.c_str()) : rmdir(r.host.c_str())) != 0) {
    return Fail(145);  // ERROR_DIR_NOT_EMPTY
  }
  return TRUE;
}

// The length copied (the patch's buffer holds any folder of the tests).
DWORD GetTempPathA(DWORD size, char* buffer) {
  sim::Machine& m = sim::PlatformCall("GetTempPathA");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, DWORD{0});
  }
  return sim::CopyOut(m.files.tempPath, buffer, size);
}

}  // namespace win
