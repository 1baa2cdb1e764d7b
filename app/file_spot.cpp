#include "app/file_spot.h"

#include <utility>

#include "app/os.h"

namespace {

// A name that is not there: no such file, or no such folder on the way.
bool IsMissing(win::DWORD error) { return error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND; }

std::string WithError(const std::string& what, win::DWORD error) {
  return what + " (error " + std::to_string(static_cast<int>(error)) + ")";
}

std::string CouldNotCheck(const char* what, win::DWORD error) {
  return WithError(std::string(what) + " could not be checked", error);
}

constexpr char kIsLink[] = "is a link or mount point";

// Why what is open at path, whose attributes through the handle are
// attributes, is not to be taken for a plain file or folder: kIsLink, by
// what the handle says or by what the name itself says too; "could not be
// checked" where the name cannot be asked; "" otherwise. Windows reports the
// reparse point through a handle opened on it as through its name; Wine 8
// only through the name (its handle shows the folder it names). Asked while
// the name is held open, the answer cannot change meanwhile.
std::string LinkReason(const std::string& path, win::DWORD attributes) {
  if ((attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return kIsLink;
  }
  const win::DWORD byName = win::GetFileAttributesA(path.c_str());
  if (byName == win::INVALID_FILE_ATTRIBUTES) {
    return WithError("could not be checked", win::GetLastError());
  }
  return (byName & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? kIsLink : "";
}

// Whether the owner of what is open at object is one that no ordinary user
// can give a file or folder (what users make, links included, they own):
// 0 when it is, ERROR_ACCESS_DENIED when it is not, else the error of the
// call that could not tell.
win::DWORD NotOwnedByAnAdministrator(win::HANDLE object) {
  const auto getSecurityInfo = Bind<win::PFN_GetSecurityInfo>(win::GetModuleHandleA("advapi32.dll"), "GetSecurityInfo");
  if (getSecurityInfo == nullptr) {
    return win::GetLastError();
  }
  void* owner = nullptr;
  void* descriptor = nullptr;
  if (const win::DWORD error = getSecurityInfo(object, win::SE_FILE_OBJECT, win::OWNER_SECURITY_INFORMATION, &owner,
                                               nullptr, nullptr, nullptr, &descriptor)) {
    return error;
  }
  const bool administrators =
      IsAdministratorsSid(owner) || IsSystemSid(owner) || IsTrustedInstallerSid(owner) || IsOwnAccountSid(owner);
  win::LocalFree(descriptor);
  return administrators ? 0 : win::ERROR_ACCESS_DENIED;
}

}  // namespace

win::HANDLE HoldFolder(const std::string& path, bool follow) {
  // Reading makes the open take part in sharing: without delete sharing
  // nobody can rename or remove the folder (both need delete access).
  return win::CreateFileA(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                          win::OPEN_EXISTING, follow ? win::FILE_FLAG_BACKUP_SEMANTICS : OpenNameFlags(), nullptr);
}

win::DWORD NotAnAdministratorsFolder(win::HANDLE folder, const std::string& path) {
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (!win::GetFileInformationByHandle(folder, &info)) {
    return win::GetLastError();
  }
  const std::string link = LinkReason(path, info.dwFileAttributes);
  if (!link.empty() && link != kIsLink) {
    return win::GetLastError();
  }
  if ((info.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0 || !link.empty()) {
    return win::ERROR_ACCESS_DENIED;
  }
  return NotOwnedByAnAdministrator(folder);
}

std::string HoldSiteRoot(const std::string& root, win::UniqueFile& held, win::UniqueFile& heldFolder) {
  if (GetOsPlatform() == 1) {
    return "";
  }
  // "D:" alone names the current folder of drive D.
  const std::string path = root.size() == 2 && root[1] == ':' ? root + "\\" : root;
  win::UniqueFile name(HoldFolder(path, false));
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (!name || !win::GetFileInformationByHandle(name.get(), &info)) {
    return WithError("it could not be held open", win::GetLastError());
  }
  win::UniqueFile folder;
  const std::string link = LinkReason(path, info.dwFileAttributes);
  if (!link.empty() && link != kIsLink) {
    return "it " + link;
  }
  if (!link.empty()) {
    if (const win::DWORD error = NotOwnedByAnAdministrator(name.get())) {
      return error == win::ERROR_ACCESS_DENIED ? "it is a link or mount point that no administrator owns"
                                               : WithError("its owner could not be read", error);
    }
    folder.reset(HoldFolder(path, true));
    if (!folder) {
      return WithError("the folder it leads to could not be held open", win::GetLastError());
    }
  }
  held = std::move(name);
  heldFolder = std::move(folder);
  return "";
}

win::DWORD OpenNameFlags() {
  return GetOsPlatform() == 1 ? win::FILE_ATTRIBUTE_NORMAL
                              : win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT;
}

FileSpot::FileSpot(std::string path) : path_(std::move(path)), windows9x_(GetOsPlatform() == 1) {
  if (windows9x_) {
    const win::DWORD attributes = win::GetFileAttributesA(path_.c_str());
    found_ = attributes == win::INVALID_FILE_ATTRIBUTES          ? Found::Nothing
             : (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0 ? Found::Folder
                                                                 : Found::PlainFile;
    return;
  }
  const size_t slash = path_.rfind('\\');
  const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash);
  const bool driveRoot = folder.size() == 2 && folder[1] == ':';
  if (!folder.empty() && !driveRoot) {
    LookAtFolder(folder);
    if (found_ == Found::LeftAlone || !folder_) {
      return;
    }
  }
  LookAtName();
}

void FileSpot::LookAtFolder(const std::string& folder) {
  folder_.reset(HoldFolder(folder, false));
  if (!folder_) {
    const win::DWORD error = win::GetLastError();
    if (!IsMissing(error)) {
      LeaveAlone(CouldNotCheck(folder.c_str(), error), true);
    }
    return;  // no folder: nothing in it to touch
  }
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (!win::GetFileInformationByHandle(folder_.get(), &info)) {
    LeaveAlone(CouldNotCheck(folder.c_str(), win::GetLastError()), true);
  } else if (const std::string link = LinkReason(folder, info.dwFileAttributes); !link.empty()) {
    LeaveAlone(folder + " " + link, link != kIsLink);
  } else if ((info.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0) {
    folder_.reset();  // a file where the folder should be: nothing in it to touch
  }
}

void FileSpot::LookAtName() {
  // Attributes only: such an open takes no part in sharing, so a file that
  // another program holds is looked at all the same.
  const win::UniqueFile name(win::CreateFileA(path_.c_str(), win::FILE_READ_ATTRIBUTES,
                                              win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                                              nullptr, win::OPEN_EXISTING, OpenNameFlags(), nullptr));
  if (!name) {
    const win::DWORD error = win::GetLastError();
    if (IsMissing(error)) {
      found_ = Found::Nothing;
    } else {
      LeaveAlone(CouldNotCheck("it", error), true);
    }
    return;
  }
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (!win::GetFileInformationByHandle(name.get(), &info)) {
    LeaveAlone(CouldNotCheck("it", win::GetLastError()), true);
    return;
  }
  if ((info.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      LinkReason(path_, info.dwFileAttributes).empty()) {
    found_ = Found::Folder;
    return;
  }
  if (Judge(info, false)) {
    found_ = Found::PlainFile;
    volume_ = info.dwVolumeSerialNumber;
    indexHigh_ = info.nFileIndexHigh;
    indexLow_ = info.nFileIndexLow;
  }
}

bool FileSpot::IsPlainFile(win::HANDLE file, bool sameAsFound) {
  if (windows9x_) {
    return true;
  }
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (!win::GetFileInformationByHandle(file, &info)) {
    LeaveAlone(CouldNotCheck("it", win::GetLastError()), true);
    return false;
  }
  return Judge(info, sameAsFound);
}

bool FileSpot::Judge(const win::BY_HANDLE_FILE_INFORMATION& info, bool sameAsFound) {
  if (const std::string link = LinkReason(path_, info.dwFileAttributes); !link.empty()) {
    LeaveAlone("it " + link, link != kIsLink);
  } else if ((info.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0) {
    LeaveAlone("it is a folder");
  } else if (info.nNumberOfLinks > 1) {
    LeaveAlone("it has " + std::to_string(info.nNumberOfLinks) + " hard links");
  } else if (sameAsFound && (info.dwVolumeSerialNumber != volume_ || info.nFileIndexHigh != indexHigh_ ||
                             info.nFileIndexLow != indexLow_)) {
    LeaveAlone("it was replaced while the patch acted on it");
  } else {
    return true;
  }
  return false;
}

void FileSpot::LeaveAlone(std::string why, bool unreadable) {
  found_ = Found::LeftAlone;
  why_ = std::move(why);
  unreadable_ = unreadable;
}

std::string FileSpot::LeftAloneLine() const { return "\nFile left alone: " + path_ + " (" + why_ + ")"; }
