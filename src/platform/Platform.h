// The platform seam: every service of the operating system that the core
// uses, named after what the caller needs. `platform/win32` implements it
// with the real Windows calls; `platform/host` with a simulated machine on
// Linux. Paths are Windows paths (drive letters, backslashes) everywhere.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace stw {

// A file opened for reading. Not thread-safe: callers serialise access.
class IReadFile {
 public:
  virtual ~IReadFile() = default;
  // Reads up to n bytes at the current position; returns the count read
  // (0 at the end of the file). Throws nothing; a device error reads as 0.
  virtual size_t Read(void* buffer, size_t n) = 0;
  // Positions at an absolute offset; false when the offset is unreachable.
  virtual bool Seek(uint64_t offset) = 0;
  virtual uint64_t Position() const = 0;
  virtual uint64_t Size() const = 0;
};

// A file opened for writing (created new or truncated).
class IWriteFile {
 public:
  virtual ~IWriteFile() = default;
  // Writes all n bytes or returns false.
  virtual bool Write(const void* buffer, size_t n) = 0;
  // Last-write time as a local date-time: days since 1899-12-30, the
  // fraction being the time of day.
  virtual bool SetLastWriteTime(double localDateTime) = 0;
  // Flushes and closes; false when the data could not be committed.
  virtual bool Close() = 0;
};

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;
  // Opens for reading with other writers denied. nullptr on failure.
  virtual std::unique_ptr<IReadFile> OpenRead(const std::string& path) = 0;
  // Creates or truncates. nullptr on failure, with the system's message.
  virtual std::unique_ptr<IWriteFile> Create(const std::string& path, std::string& error) = 0;
  // Creates a new, empty file with a unique name in `folder` whose name
  // starts with `prefix`; returns its path, or "" on failure.
  virtual std::string CreateTempFileIn(const std::string& folder, const std::string& prefix) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;
  virtual bool DeleteFile(const std::string& path) = 0;
  // Renames `from` over `to`, replacing it; false when `to` is in use.
  virtual bool MoveReplace(const std::string& from, const std::string& to, std::string& error) = 0;
  // Schedules `from` to replace `to` at the next restart of the system.
  virtual bool ReplaceAtRestart(const std::string& from, const std::string& to) = 0;
  // The folder for temporary files, with a trailing backslash; "" if none.
  virtual std::string TempFolder() = 0;
};

// Buttons and icons of a message box; the values are those of Windows.
enum MessageBoxStyle : unsigned {
  MB_OK_ = 0x0,
  MB_YESNO_ = 0x4,
  MB_ICONERROR_ = 0x10,
  MB_ICONQUESTION_ = 0x20,
  MB_ICONINFORMATION_ = 0x40,
};
enum MessageBoxAnswer : int { IDNONE_ = 0, IDOK_ = 1, IDYES_ = 6, IDNO_ = 7 };

class IDialogs {
 public:
  virtual ~IDialogs() = default;
  // Shows a message box and returns the answer. IDNONE_ means no box could
  // be shown (unattended run): the caller takes its failure path.
  virtual int MessageBox(const std::string& text, const std::string& title, unsigned style) = 0;
};

}  // namespace stw
