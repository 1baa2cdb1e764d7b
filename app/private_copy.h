// Copies of files' bytes in a folder that the run makes for itself and that
// only SYSTEM and Administrators may enter. Calls that work only by name
// (the profile calls) can then act on a copy where no user can put a link or
// another file in their way, while the file itself is held open and written
// only through its own handle.
#pragma once

#include <string>

#include "platform/unique.h"
#include "platform/win.h"

// The bytes from the file's position to its end; false, with the system's
// error, where they cannot be read.
bool ReadToEnd(win::HANDLE file, std::string& bytes);
// All of bytes at the file's position; false, with the system's error, where
// they cannot all be written.
bool WriteAll(win::HANDLE file, const std::string& bytes);

// The folder, made anew and held until the object goes, then removed.
class PrivateFolder {
 public:
  PrivateFolder();
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  // 0, or the system's code where the folder could not be made.
  [[nodiscard]] win::DWORD error() const { return error_; }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  bool Fail(win::DWORD error);

  std::string path_;
  win::UniqueFile held_;  // without delete sharing: it cannot be renamed
  win::DWORD error_ = 0;
};

// A copy of bytes in the folder, named name (a profile call may treat a file
// by its name), removed when the object goes.
class PrivateCopy {
 public:
  PrivateCopy(const PrivateFolder& folder, const std::string& bytes, const char* name);
  ~PrivateCopy();
  PrivateCopy(const PrivateCopy&) = delete;
  PrivateCopy& operator=(const PrivateCopy&) = delete;

  // 0, or the system's code where the copy could not be made.
  [[nodiscard]] win::DWORD error() const { return error_; }
  [[nodiscard]] const char* path() const { return path_.c_str(); }
  // The copy's bytes as they are now.
  bool Read(std::string& bytes) const;

 private:
  std::string path_;
  bool made_ = false;
  win::DWORD error_ = 0;
};
