// The simulated machine's disks: Windows paths mapped onto a real temporary
// directory, one folder per drive letter ("C:\\Site\\x.ini" is
// <root>/C/Site/x.ini). Names are matched without regard to case, as NTFS
// does. Links are host symbolic links: a Windows junction or symbolic link,
// followed inside a path, reported as a reparse point at its end; hard links
// are host hard links. Of share modes only delete sharing is enforced, the
// one that keeps a held name from being renamed or removed. What another
// program does to a file (holding it open, a disk that refuses writes) a
// test plants as a fault of the call (Machine::faults).
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win.h"

namespace sim {

class FileSystem {
 public:
  FileSystem();
  ~FileSystem();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // --- Set-up and inspection by tests (Windows paths) ---
  void WriteFile(std::string_view path, std::string_view content);  // creates parent folders
  void MakeDirectory(std::string_view path);                        // and its parents
  bool Exists(std::string_view path) const;
  std::optional<std::string> ReadFile(std::string_view path) const;
  // A link at path (a folder junction or a file symbolic link, by what
  // target is) to the Windows path target; a hard link at path to the
  // existing file at target.
  void MakeLink(std::string_view path, std::string_view target);
  void MakeHardLink(std::string_view path, std::string_view target);
  // What an ordinary user does to swap a folder or file at path for a link
  // to target: rename it away and put the link in its place. False, with
  // nothing changed, where Windows refuses the rename (HeldFromDelete).
  bool ReplaceWithLink(std::string_view path, std::string_view target);
  // Files (their canonical keys) written and not flushed to disk since: what
  // a power cut would lose.
  const std::set<std::string>& Unflushed() const { return unflushed_; }
  void MarkWritten(const std::string& key) { unflushed_.insert(key); }
  void MarkFlushed(const std::string& key) { unflushed_.erase(key); }
  // What GetTempPathA gives.
  std::string tempPath = "C:\\Windows\\Temp\\";
  // Who owns a file, folder or link, as GetSecurityInfo reports it:
  // Administrators (an administrator set the machine up) unless set here or
  // made by a user (ReplaceWithLink).
  void SetOwner(std::string_view path, const std::string& sid);
  std::string OwnerOf(win::HANDLE file) const;
  // The folders that CreateDirectoryA made, as named, with the SDDL text of
  // the descriptor given ("(null)" for none), in order.
  std::vector<std::pair<std::string, std::string>> madeFolders;
  const std::string& Root() const { return root_; }

  // --- What the Windows calls need ---
  struct Resolved {
    std::string host;  // host path; its last component may not exist
    std::string key;   // the host path through the folder it really is in (links
                       // followed) and the name: the identity of the file
    win::DWORD error;  // 0, or why the path cannot name a file
  };
  Resolved Resolve(std::string_view path) const;
  // Whether Windows refuses to delete or rename the file or folder key: an
  // open of it that reads, writes or deletes without sharing delete, or
  // (where inside) any open of something in it.
  bool HeldFromDelete(const std::string& key, bool inside = false) const;

  struct OpenFile {
    std::string path;  // as the program named it
    std::string key;   // what was opened: the name, or what a followed link names
    win::DWORD access;
    win::DWORD shareMode;
    uint64_t position = 0;
    bool link = false;  // the link itself was opened (FILE_FLAG_OPEN_REPARSE_POINT)
  };
  // Open files by handle value.
  std::map<intptr_t, OpenFile> opens;

 private:
  std::string root_;
  std::set<std::string> unflushed_;
  std::map<std::string, std::string> owners_;
};

}  // namespace sim
