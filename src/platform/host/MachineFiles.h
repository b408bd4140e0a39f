// The simulated machine keeps its state in small text files in its root
// folder (registry.txt, machine.txt), shared by every process that runs on
// the same machine. These helpers keep such files readable and safe to
// share: fields are escaped so any text fits on one line, a file is
// replaced whole by a rename so a reader never sees half of it, and
// read-modify-write cycles of several processes are serialised by a lock.
#pragma once
#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

namespace stw::host {

// Escapes every byte that is not printable ASCII (control characters, tab,
// line ends, bytes of non-ASCII UTF-8) and "%" itself as "%XX", so that a
// field holds any bytes and still splits on tabs and line ends.
std::string EscapeField(std::string_view s);
// The inverse; a "%" not followed by two hexadecimal digits stays as it is.
std::string UnescapeField(std::string_view s);

// The file's whole content, or nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& nativePath);
// Writes a sibling temporary file and renames it over `nativePath`.
bool ReplaceFileContent(const std::string& nativePath, const std::string& content);

// What identifies one version of a file: each replacement by rename gives a
// new inode and change time, so a changed stamp means "read it again".
struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtimeNs = 0, ctimeNs = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& nativePath);

// An exclusive advisory lock (flock) on a lock file, held for the lifetime
// of the object. Locks of one process through different objects exclude
// each other too. Without a path (a machine without a root) it does nothing.
class FileLock {
 public:
  explicit FileLock(const std::string& nativePath);
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
  int fd_ = -1;
};

}  // namespace stw::host
