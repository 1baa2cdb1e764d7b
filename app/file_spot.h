// The files that the patch deletes, creates or writes by name: the run logs,
// timezone.ini and pelio.ini. The patch runs as an administrator or as
// SYSTEM, and ordinary users may write under the site root and in C:\, so a
// name may have been planted: a folder made a junction (to "\RPC Control",
// whose object links point anywhere), a link or a hard link put where a file
// is expected. Acting on such a name would delete, truncate or rewrite a file
// of the user's choosing. A FileSpot looks at a name before it is touched.
#pragma once

#include <string>

#include "platform/unique.h"
#include "platform/win.h"

// What stands at a name.
enum class Found {
  Nothing,    // no file there (nor its folder)
  PlainFile,  // a file with one name, in a real folder: the patch may act on it
  Folder,     // a folder: not a file of the patch
  LeftAlone,  // a link, a hard link, or in a folder that is a link: never touched
};

// A name, looked at without following a link at its end. While the FileSpot
// lives, its folder (a folder below the site root; not a drive's root, which
// no user can replace) is held open without delete sharing, so that it cannot
// be renamed, removed or replaced by a link while the patch acts in it. The
// site root itself may be a junction or a mount point: an administrator set
// it. On Windows 9x (FAT: no links) only existence counts.
class FileSpot {
 public:
  explicit FileSpot(std::string path);

  [[nodiscard]] Found found() const { return found_; }
  [[nodiscard]] const std::string& path() const { return path_; }
  // The line that says so: "\nFile left alone: <path> (<why>)".
  [[nodiscard]] std::string LeftAloneLine() const;
  // Left alone only because the name or its folder could not be looked at
  // (a read error), not for what is there.
  [[nodiscard]] bool Unreadable() const { return unreadable_; }
  // True when file (opened at the path) is a plain file with one name and,
  // when sameAsFound, the very file found when the name was looked at. Where
  // it is not, the name counts as left alone, and the reason is kept for
  // LeftAloneLine.
  bool IsPlainFile(win::HANDLE file, bool sameAsFound = false);

 private:
  void LookAtFolder(const std::string& folder);
  void LookAtName();
  // IsPlainFile of the file information read.
  bool Judge(const win::BY_HANDLE_FILE_INFORMATION& info, bool sameAsFound);
  void LeaveAlone(std::string why, bool unreadable = false);

  std::string path_;
  win::UniqueFile folder_;
  Found found_ = Found::Nothing;
  std::string why_;
  bool unreadable_ = false;
  bool windows9x_ = false;
  // The identity of the plain file found (volume, index), to tell it again.
  win::DWORD volume_ = 0;
  win::DWORD indexHigh_ = 0;
  win::DWORD indexLow_ = 0;
};

// Flags for opening a name itself, never what a link at its end names (none
// on Windows 9x, which has no links).
win::DWORD OpenNameFlags();

// Opens the folder at path, as it stands (what a link there names where
// follow), to hold it: while the handle is open, nobody can rename or remove
// it. Invalid where it cannot be opened, with the system's error.
win::HANDLE HoldFolder(const std::string& path, bool follow = false);

// 0 when the folder open at folder (held with HoldFolder; path is the name
// it was opened by) is a real folder whose owner no ordinary user can be:
// SYSTEM, Administrators, TrustedInstaller or this run's own account;
// ERROR_ACCESS_DENIED when it is not; else the error of the call that could
// not tell.
win::DWORD NotAnAdministratorsFolder(win::HANDLE folder, const std::string& path);

// Holds the site root open without delete sharing (in held, and where the
// root is a link, the folder it leads to in heldFolder), so that nobody can
// rename it or put a link in its place while the handles are open. A root
// that is itself a link or mount point (an administrator may set one) counts
// only where the link is an administrator's. Returns why the root cannot be
// held, or nothing where it is held (always on Windows 9x, which has no
// links).
std::string HoldSiteRoot(const std::string& root, win::UniqueFile& held, win::UniqueFile& heldFolder);
