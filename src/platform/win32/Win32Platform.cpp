// The platform seam on real Windows. Thin on purpose: each call converts the
// program's UTF-8 to UTF-16, calls the wide-character (W) entry point and
// converts the answer back. Policy (retries, fallbacks, messages for the
// user) lives in the layers above, where the host build can test it.
#include "platform/Factory.h"
#include "platform/FixedFileInfo.h"
#include "platform/Platform.h"

#include "platform/win32/Windows.h"
#include "platform/win32/Win32Common.h"

#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <type_traits>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/Text.h"

namespace stw {
namespace {

using win32::Narrow;
using win32::SystemMessage;
using win32::SystemRoutine;
using win32::Wide;

// Owns a file handle; INVALID_HANDLE_VALUE means none.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }
  bool Close() {
    if (!Valid()) return false;
    const bool ok = CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

// ReadFile and WriteFile count in DWORDs; larger requests go in pieces.
constexpr size_t kMaxChunk = size_t{1} << 30;

class Win32ReadFile : public IReadFile {
 public:
  explicit Win32ReadFile(HANDLE h) : file_(h) {}

  size_t Read(void* buffer, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const DWORD want = static_cast<DWORD>(std::min(n - done, kMaxChunk));
      DWORD got = 0;
      // A device error ends the read like the end of the file does; the
      // caller sees a short count and reports the file as truncated.
      if (!ReadFile(file_.Get(), static_cast<char*>(buffer) + done, want, &got, nullptr) || got == 0) break;
      done += got;
    }
    pos_ += done;
    return done;
  }

  bool Seek(uint64_t offset) override {
    if (offset > static_cast<uint64_t>(std::numeric_limits<LONGLONG>::max())) return false;
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_.Get(), to, nullptr, FILE_BEGIN)) return false;
    pos_ = offset;
    return true;
  }

  uint64_t Position() const override { return pos_; }

  uint64_t Size() const override {
    LARGE_INTEGER size;
    return GetFileSizeEx(file_.Get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
  }

 private:
  Handle file_;
  uint64_t pos_ = 0;
};

// Days between 1601-01-01 (the FILETIME epoch) and 1899-12-30 (day 0 of a
// date-time).
constexpr int64_t kDaysFrom1601To1899 = 109205;
constexpr int64_t kMsPerDay = 86400000;

// A local date-time (days since 1899-12-30, the fraction being the time of
// day) as a UTC FILETIME. Before day 0 the whole part counts days backwards
// while the fraction still counts the time forwards from midnight, so -1.25
// is 1899-12-29 06:00, not 18:00 the day before.
bool LocalDateTimeToUtcFileTime(double dateTime, FILETIME& utc) {
  if (!std::isfinite(dateTime)) return false;
  const double days = std::trunc(dateTime);
  // Keeps the arithmetic below far from overflow; SYSTEMTIME's range
  // (years 1601..30827) is checked by the conversions themselves.
  if (days < -static_cast<double>(kDaysFrom1601To1899) || days > 11000000.0) return false;
  const int64_t ms = (static_cast<int64_t>(days) + kDaysFrom1601To1899) * kMsPerDay +
                     static_cast<int64_t>(std::llround(std::fabs(dateTime - days) * static_cast<double>(kMsPerDay)));
  if (ms < 0) return false;
  const uint64_t ticks = static_cast<uint64_t>(ms) * 10000u;  // 100 ns units
  FILETIME local;
  local.dwLowDateTime = static_cast<DWORD>(ticks);
  local.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  SYSTEMTIME localSt, utcSt;
  if (!FileTimeToSystemTime(&local, &localSt)) return false;
  // TzSpecificLocalTimeToSystemTime applies the daylight-saving rule of the
  // date itself, so a summer file keeps its summer time when installed in
  // winter. LocalFileTimeToFileTime (today's bias) is only the fallback.
  if (TzSpecificLocalTimeToSystemTime(nullptr, &localSt, &utcSt) && SystemTimeToFileTime(&utcSt, &utc)) return true;
  return LocalFileTimeToFileTime(&local, &utc) != 0;
}

// A FILETIME-scaled local time (100 ns units since 1601-01-01) as a local
// date-time.
double LocalTicksToDateTime(uint64_t ticks) {
  return static_cast<double>(ticks) / (static_cast<double>(kMsPerDay) * 10000.0) -
         static_cast<double>(kDaysFrom1601To1899);
}

// The inverse of LocalDateTimeToUtcFileTime: the daylight-saving rule of
// the time's own date applies, so a file written in summer reads back with
// the summer time it was given, whatever the season now.
std::optional<double> UtcFileTimeToLocalDateTime(const FILETIME& utc) {
  SYSTEMTIME utcSt, localSt;
  FILETIME local;
  if (!(FileTimeToSystemTime(&utc, &utcSt) && SystemTimeToTzSpecificLocalTime(nullptr, &utcSt, &localSt) &&
        SystemTimeToFileTime(&localSt, &local)) &&
      !FileTimeToLocalFileTime(&utc, &local))
    return std::nullopt;
  return LocalTicksToDateTime(static_cast<uint64_t>(local.dwHighDateTime) << 32 | local.dwLowDateTime);
}

class Win32WriteFile : public IWriteFile {
 public:
  explicit Win32WriteFile(HANDLE h) : file_(h) {}

  bool Write(const void* buffer, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const DWORD want = static_cast<DWORD>(std::min(n - done, kMaxChunk));
      DWORD put = 0;
      if (!WriteFile(file_.Get(), static_cast<const char*>(buffer) + done, want, &put, nullptr) || put == 0)
        return false;
      done += put;
    }
    if (hasTime_) writtenSinceTime_ = true;
    return true;
  }

  bool SetLastWriteTime(double localDateTime) override {
    FILETIME utc;
    if (!LocalDateTimeToUtcFileTime(localDateTime, utc)) return false;
    time_ = utc;
    hasTime_ = true;
    writtenSinceTime_ = false;
    // Creation and access times stay as they are: only the last-write time
    // comes from the package.
    return SetFileTime(file_.Get(), nullptr, nullptr, &utc) != 0;
  }

  bool Close() override {
    if (!file_.Valid()) return false;
    // Writes after the time was set would move it again on file systems
    // that keep updating it (Wine's, for one), so set it once more.
    if (hasTime_ && writtenSinceTime_) SetFileTime(file_.Get(), nullptr, nullptr, &time_);
    // No FlushFileBuffers: forcing every installed file to the disk costs
    // far more than it protects; CloseHandle reports what the system knows.
    return file_.Close();
  }

  std::optional<MoveResult> RenameTo(const std::string& target, std::string& error) override;

 private:
  Handle file_;
  FILETIME time_{};
  bool hasTime_ = false;
  bool writtenSinceTime_ = false;
};

DWORD Attributes(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()); }

// How a refused rename onto a target with these attributes ends. A file
// held open, locked or mapped may be replaced at the restart; so may a
// running program, which refuses with "access denied" although nothing in
// its attributes forbids writing. A folder or a read-only file at the name
// (or no attributes known) would be refused at the restart too.
MoveResult RefusedMove(DWORD error, DWORD targetAttributes) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE)
    return MoveResult::InUse;
  if (error == ERROR_ACCESS_DENIED && targetAttributes != INVALID_FILE_ATTRIBUTES &&
      (targetAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0)
    return MoveResult::InUse;
  return MoveResult::Failed;
}

// The system's own rename of an open file (ntdll is in every process, on
// every version); the layout is that of FILE_RENAME_INFORMATION.
struct RenameRoutines {
  struct IoStatus {
    union {
      LONG status;
      void* pointer;
    };
    ULONG_PTR information;
  };
  using SetInformation = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
  using StatusToError = ULONG(WINAPI*)(LONG);
  SetInformation set = reinterpret_cast<SetInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
  StatusToError toError = reinterpret_cast<StatusToError>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
};
const RenameRoutines& RenameLibrary() {
  static const RenameRoutines routines;
  return routines;
}

// A full path in the system's own name space: "\??\C:\...", or
// "\??\UNC\server\share\..." for a network path.
std::wstring NtPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  if (wide.compare(0, 4, L"\\\\?\\") == 0) return L"\\??\\" + wide.substr(4);
  if (wide.compare(0, 2, L"\\\\") == 0) return L"\\??\\UNC\\" + wide.substr(2);
  return L"\\??\\" + wide;
}

std::optional<MoveResult> Win32WriteFile::RenameTo(const std::string& target, std::string& error) {
  const RenameRoutines& api = RenameLibrary();
  if (!api.set || !api.toError || !file_.Valid()) return std::nullopt;
  const std::wstring name = NtPath(target);
  constexpr int kFileRenameInformation = 10;
  struct Header {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[1];  // as long as fileNameLength says
  };
  const size_t nameOffset = offsetof(Header, fileName);
  std::vector<unsigned char> info(std::max(sizeof(Header), nameOffset + (name.size() + 1) * sizeof(WCHAR)), 0);
  Header* h = reinterpret_cast<Header*>(info.data());
  h->replaceIfExists = TRUE;
  h->rootDirectory = nullptr;
  h->fileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  std::copy(name.begin(), name.end(), reinterpret_cast<WCHAR*>(info.data() + nameOffset));
  RenameRoutines::IoStatus io{};
  const LONG status = api.set(file_.Get(), &io, info.data(), static_cast<ULONG>(info.size()), kFileRenameInformation);
  if (status >= 0) return MoveResult::Moved;
  const DWORD e = api.toError(status);
  error = SystemMessage(e);
  // Only a refusal as "access denied" costs a look-up of the target.
  return RefusedMove(e, e == ERROR_ACCESS_DENIED ? Attributes(target) : INVALID_FILE_ATTRIBUTES);
}

// Calls a function that fills a buffer of wide characters and returns the
// length written, or the size needed when the buffer is too small (the
// convention of GetModuleFileNameW-like calls differs and is handled by
// their callers); "" on failure.
template <class F>
std::wstring FillWide(F&& call) {
  std::wstring buffer(MAX_PATH + 1, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.assign(static_cast<size_t>(n) + 1, L'\0');  // n: the size needed
  }
  return {};
}

struct VersionRoutines {
  decltype(&::GetFileVersionInfoSizeW) size = SystemRoutine<decltype(size)>(L"version.dll", "GetFileVersionInfoSizeW");
  decltype(&::GetFileVersionInfoW) info = SystemRoutine<decltype(info)>(L"version.dll", "GetFileVersionInfoW");
  decltype(&::VerQueryValueW) query = SystemRoutine<decltype(query)>(L"version.dll", "VerQueryValueW");
};
// Loaded once, by whichever thread asks first (the initialisation of a
// local static is synchronised); nothing to destroy at exit.
const VersionRoutines& VersionLibrary() {
  static const VersionRoutines routines;
  return routines;
}

class Win32FileSystem : public IFileSystem {
 public:
  std::unique_ptr<IReadFile> OpenRead(const std::string& path) override {
    // Others may read along, but nobody may change the package under us.
    // A folder cannot be opened this way (no FILE_FLAG_BACKUP_SEMANTICS),
    // so only files are returned.
    const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32ReadFile>(h);
  }

  std::unique_ptr<IWriteFile> Create(const std::string& path, std::string& error) override {
    // No sharing: nobody should see or use a file while it is being written.
    const std::wstring wide = Wide(path);
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      // CREATE_ALWAYS refuses a hidden or system file unless asked to keep
      // those attributes.
      const DWORD a = GetFileAttributesW(wide.c_str());
      const DWORD keep = a == INVALID_FILE_ATTRIBUTES ? 0 : a & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
      if (keep != 0 && (a & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0)
        h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, keep, nullptr);
      else
        SetLastError(ERROR_ACCESS_DENIED);
    }
    if (h == INVALID_HANDLE_VALUE) {
      error = SystemMessage(GetLastError());
      return nullptr;
    }
    return std::make_unique<Win32WriteFile>(h);
  }

  std::unique_ptr<IWriteFile> CreateTempFile(const std::string& folder, const std::string& prefix, std::string& path,
                                             std::string& error) override {
    // Named here rather than by GetTempFileNameW, which refuses folders
    // longer than MAX_PATH - 14 characters although the file's own path
    // would fit. CREATE_NEW with FILE_FLAG_OPEN_REPARSE_POINT: a link
    // planted at the name makes the create fail instead of being followed,
    // and the caller writes through this handle, never the name again.
    static std::atomic<uint32_t> next{GetTickCount() ^ (GetCurrentProcessId() << 16)};
    const std::string dir = WithTrailingBackslash(folder);
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[16];
      std::snprintf(name, sizeof name, "%08X.tmp", static_cast<unsigned>(next.fetch_add(0x9E3779B1u)));
      path = dir + prefix + name;
      // DELETE: the file is renamed into place through this handle.
      const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (h != INVALID_HANDLE_VALUE) return std::make_unique<Win32WriteFile>(h);
      const DWORD e = GetLastError();
      if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) {
        error = SystemMessage(e);
        break;
      }
    }
    if (error.empty()) error = "no unused temporary name in the folder " + folder;
    path.clear();
    return nullptr;
  }

  bool FileExists(const std::string& path) override {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool DirectoryExists(const std::string& path) override {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool DeleteFile(const std::string& path) override { return DeleteFileW(Wide(path).c_str()) != 0; }

  MoveResult MoveReplace(const std::string& from, const std::string& to, std::string& error) override {
    // Neither end may be a link: a temporary file swapped for one after it
    // was written would put the link in the target's place.
    const std::wstring source = Wide(from), target = Wide(to);
    const DWORD s = GetFileAttributesW(source.c_str());
    if (s == INVALID_FILE_ATTRIBUTES || (s & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      error = "The file to be moved into place is not a plain file.";
      return MoveResult::Failed;
    }
    const DWORD a = GetFileAttributesW(target.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      error = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? "A link stands at the name of the file."
                                                      : SystemMessage(ERROR_ACCESS_DENIED);
      return MoveResult::Failed;
    }
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return MoveResult::Moved;
    const DWORD e = GetLastError();
    error = SystemMessage(e);
    return RefusedMove(e, a);
  }

  bool ReplaceAtRestart(const std::string& from, const std::string& to) override {
    // Recorded by the system (PendingFileRenameOperations); needs the rights
    // of an administrator, which the caller has or gets told about.
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  }

  bool CreateFolder(const std::string& path) override { return CreateDirectoryW(Wide(path).c_str(), nullptr) != 0; }
  bool CreatePrivateFolder(const std::string& path) override {
    // Protected (inheritance from the parent cut) and open to the folder's
    // owner, the administrators and the system only, inherited by what is
    // put inside.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)",
                                                              SDDL_REVISION_1, &sd, nullptr))
      return false;
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    const bool ok = CreateDirectoryW(Wide(path).c_str(), &sa) != 0;
    LocalFree(sd);
    return ok;
  }

  bool RemoveFolder(const std::string& path) override { return RemoveDirectoryW(Wide(path).c_str()) != 0; }

  bool IsReparsePoint(const std::string& path) override {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }

  std::optional<uint64_t> FileSize(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!FileData(path, data)) return std::nullopt;
    return static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  }

  std::optional<double> LastWriteTime(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!FileData(path, data)) return std::nullopt;
    return UtcFileTimeToLocalDateTime(data.ftLastWriteTime);
  }

  std::optional<uint64_t> FileVersion(const std::string& path) override {
    const VersionRoutines& api = VersionLibrary();
    if (!api.size || !api.info || !api.query) return std::nullopt;
    const std::wstring wide = Wide(path);
    DWORD ignored = 0;
    const DWORD size = api.size(wide.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<unsigned char> block(size);
    if (!api.info(wide.c_str(), 0, size, block.data())) return std::nullopt;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    wchar_t root[] = L"\\";
    if (!api.query(block.data(), root, reinterpret_cast<void**>(&info), &length) || info == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != kFixedFileInfoSignature)
      return std::nullopt;
    return static_cast<uint64_t>(info->dwFileVersionMS) << 32 | info->dwFileVersionLS;
  }

  bool IsReadOnly(const std::string& path) override {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0 && (a & FILE_ATTRIBUTE_READONLY) != 0;
  }

  bool SetReadOnly(const std::string& path, bool readOnly) override {
    const std::wstring wide = Wide(path);
    DWORD a = GetFileAttributesW(wide.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    a = readOnly ? (a | FILE_ATTRIBUTE_READONLY) : (a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    // SetFileAttributes wants NORMAL, not 0, for "no attribute at all".
    return SetFileAttributesW(wide.c_str(), a != 0 ? a : FILE_ATTRIBUTE_NORMAL) != 0;
  }

  bool CopyFile(const std::string& from, const std::string& to) override {
    return CopyFileW(Wide(from).c_str(), Wide(to).c_str(), FALSE) != 0;
  }

  bool DeleteAtRestart(const std::string& path) override {
    // Like ReplaceAtRestart, recorded by the system and only for an
    // administrator.
    return MoveFileExW(Wide(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  }

  std::string ShortPathName(const std::string& path) override {
    const std::wstring wide = Wide(path);
    const std::wstring shortPath =
        FillWide([&](wchar_t* b, DWORD n) { return GetShortPathNameW(wide.c_str(), b, n); });
    return shortPath.empty() ? path : Narrow(shortPath);
  }

  std::vector<Entry> ListFolder(const std::string& folder, const std::string& prefix,
                                const std::string& suffix) override {
    std::vector<Entry> entries;
    const std::string dir = WithTrailingBackslash(folder);
    WIN32_FIND_DATAW d;
    const HANDLE h = FindFirstFileExW(Wide(dir + prefix + "*" + suffix).c_str(), FindExInfoBasic, &d,
                                      FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) return entries;
    do {
      // The pattern also matches short names: the long one decides.
      const std::string name = Narrow(d.cFileName);
      if (name == "." || name == ".." || !HasPrefixAndSuffixIgnoreAsciiCase(name, prefix, suffix)) continue;
      Entry e{name};
      e.link = (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      e.folder = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !e.link;
      e.readOnly = (d.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == FILE_ATTRIBUTE_READONLY;
      entries.push_back(std::move(e));
    } while (FindNextFileW(h, &d));
    FindClose(h);
    return entries;
  }

  // A folder is held by a handle that does not share deletion; a process
  // asking for delete access to it is then refused with a sharing
  // violation, which is how FolderInUse tells.
  std::shared_ptr<void> HoldFolder(const std::string& path) override {
    const HANDLE h = CreateFileW(Wide(path).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::shared_ptr<void>(h, [](void* p) { CloseHandle(p); });
  }

  bool FolderInUse(const std::string& path) override {
    const HANDLE h = CreateFileW(Wide(path).c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
  }

  std::vector<std::string> PendingRestartFiles() override {
    // Pairs of NUL-ended paths (source, then target or nothing), each in
    // the form "\??\C:\...".
    std::vector<std::string> files;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
      return files;
    DWORD type = 0, bytes = 0;
    std::vector<wchar_t> data;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ && bytes > 0) {
      data.resize(bytes / sizeof(wchar_t) + 2, L'\0');
      if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                           reinterpret_cast<BYTE*>(data.data()), &bytes) != ERROR_SUCCESS)
        data.clear();
    }
    RegCloseKey(key);
    const size_t n = std::min(data.size(), static_cast<size_t>(bytes / sizeof(wchar_t)));
    bool source = true;
    for (size_t i = 0; i < n;) {
      const size_t end = static_cast<size_t>(std::find(data.begin() + i, data.begin() + n, L'\0') - data.begin());
      std::wstring item(data.begin() + i, data.begin() + end);
      if (source && !item.empty()) {
        if (item.rfind(L"\\??\\", 0) == 0) item.erase(0, 4);
        files.push_back(Narrow(item));
      }
      source = !source;
      i = end + 1;
    }
    return files;
  }

  std::string TempFolder() override {
    std::wstring buffer(MAX_PATH + 1, L'\0');
    DWORD n = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n > buffer.size()) {  // too small: n is the size needed
      buffer.assign(n, L'\0');
      n = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
      if (n >= buffer.size()) return {};
    }
    if (n == 0) return {};
    buffer.resize(n);
    if (buffer.back() != L'\\') buffer += L'\\';
    return Narrow(buffer);
  }

 private:
  // Facts of a file (not a folder); false when there is no such file.
  static bool FileData(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    return GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data) &&
           (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
};

// ---------------------------------------------------------------- registry

// Owns an open registry key.
class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (h_) RegCloseKey(h_);
  }
  HKEY* Out() { return &h_; }
  HKEY Get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

HKEY RootKey(RegRoot root) {
  switch (root) {
    case RegRoot::ClassesRoot: return HKEY_CLASSES_ROOT;
    case RegRoot::CurrentUser: return HKEY_CURRENT_USER;
    case RegRoot::LocalMachine: return HKEY_LOCAL_MACHINE;
    case RegRoot::Users: return HKEY_USERS;
    case RegRoot::CurrentConfig: return HKEY_CURRENT_CONFIG;
  }
  return HKEY_CURRENT_USER;
}

// The view is always asked for explicitly: the 32-bit release build gets
// the 32-bit view by default anyway, and the 64-bit test build must write
// the very same keys, so Default means the 32-bit view for both.
REGSAM ViewFlag(RegView view) { return view == RegView::View64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

class Win32Registry : public IRegistry {
 public:
  bool KeyExists(RegRoot root, const std::string& key, RegView view) override {
    Key k;
    const LONG r = RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view), k.Out());
    // A key we may not read is there all the same.
    return r == ERROR_SUCCESS || r == ERROR_ACCESS_DENIED;
  }

  bool CreateKey(RegRoot root, const std::string& key, RegView view) override {
    Key k;
    return Create(root, key, view, KEY_WRITE, k);
  }

  bool CanWrite(RegRoot root, const std::string& key, RegView view) override {
    Key k;
    return RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_READ | KEY_WRITE | ViewFlag(view), k.Out()) ==
           ERROR_SUCCESS;
  }

  std::optional<std::string> ReadString(RegRoot root, const std::string& key, const std::string& name,
                                        RegView view) override {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!Query(root, key, name, view, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
    // The stored bytes need not end in a zero, nor hold a whole number of
    // characters; anything after the first zero is not part of the text.
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos) text.resize(end);
    return Narrow(text);
  }

  std::optional<uint32_t> ReadDword(RegRoot root, const std::string& key, const std::string& name,
                                    RegView view) override {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!Query(root, key, name, view, type, data) || type != REG_DWORD || data.size() != sizeof(DWORD))
      return std::nullopt;
    DWORD v;
    std::memcpy(&v, data.data(), sizeof v);
    return v;
  }

  bool WriteString(RegRoot root, const std::string& key, const std::string& name, const std::string& value,
                   RegView view) override {
    Key k;
    if (!Create(root, key, view, KEY_SET_VALUE, k)) return false;
    const std::wstring text = Wide(value);
    // The size counts the terminating zero, which readers rely on.
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (bytes > std::numeric_limits<DWORD>::max()) return false;
    return RegSetValueExW(k.Get(), Wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(bytes)) == ERROR_SUCCESS;
  }

  bool WriteDword(RegRoot root, const std::string& key, const std::string& name, uint32_t value,
                  RegView view) override {
    Key k;
    if (!Create(root, key, view, KEY_SET_VALUE, k)) return false;
    const DWORD v = value;
    return RegSetValueExW(k.Get(), Wide(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                          sizeof v) == ERROR_SUCCESS;
  }

  bool DeleteValue(RegRoot root, const std::string& key, const std::string& name, RegView view) override {
    Key k;
    if (RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_SET_VALUE | ViewFlag(view), k.Out()) !=
        ERROR_SUCCESS)
      return false;
    return RegDeleteValueW(k.Get(), Wide(name).c_str()) == ERROR_SUCCESS;
  }

  bool WriteBinary(RegRoot root, const std::string& key, const std::string& name, const std::string& bytes,
                   RegView view) override {
    Key k;
    if (!Create(root, key, view, KEY_SET_VALUE, k)) return false;
    if (bytes.size() > std::numeric_limits<DWORD>::max()) return false;
    // An empty block is a value of length 0, not a missing one.
    return RegSetValueExW(k.Get(), Wide(name).c_str(), 0, REG_BINARY,
                          bytes.empty() ? nullptr : reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
  }

  std::optional<RegValue> QueryValue(RegRoot root, const std::string& key, const std::string& name,
                                     RegView view) override {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!Query(root, key, name, view, type, data)) return std::nullopt;
    RegValue v;
    v.bytes.assign(reinterpret_cast<const char*>(data.data()), data.size());
    switch (type) {
      case REG_SZ:
      case REG_EXPAND_SZ: {
        v.kind = type == REG_SZ ? RegValue::String : RegValue::ExpandString;
        // As ReadString: the text ends at the first zero or with the data.
        std::wstring text(data.size() / sizeof(wchar_t), L'\0');
        std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
        const size_t end = text.find(L'\0');
        if (end != std::wstring::npos) text.resize(end);
        v.text = Narrow(text);
        break;
      }
      case REG_DWORD: {
        // A short value (the registry does not check the size) reads as
        // its bytes with zeros above them.
        v.kind = RegValue::Dword;
        for (size_t i = 0; i < std::min<size_t>(data.size(), 4); ++i) v.dword |= uint32_t{data[i]} << (8 * i);
        break;
      }
      case REG_BINARY: v.kind = RegValue::Binary; break;
      default: v.kind = RegValue::Other; break;
    }
    return v;
  }

  std::vector<std::string> SubkeyNames(RegRoot root, const std::string& key, size_t limit, RegView view) override {
    std::vector<std::string> names;
    Key k;
    if (RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_ENUMERATE_SUB_KEYS | ViewFlag(view), k.Out()) !=
        ERROR_SUCCESS)
      return names;
    // A key name has at most 255 characters; the buffer has room for the
    // zero. Enumeration ends at the first index that fails, whatever the
    // reason, as the callers expect of a plain walk by index.
    wchar_t buffer[256];
    for (DWORD index = 0; names.size() < limit; ++index) {
      DWORD length = static_cast<DWORD>(std::size(buffer));
      if (RegEnumKeyExW(k.Get(), index, buffer, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.push_back(Narrow(std::wstring_view(buffer, length)));
    }
    return names;
  }

  std::optional<std::vector<std::string>> ValueNames(RegRoot root, const std::string& key, size_t limit,
                                                     RegView view) override {
    Key k;
    if (RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view), k.Out()) !=
        ERROR_SUCCESS)
      return std::nullopt;
    // A value name has at most 16383 characters; the buffer has room for
    // the zero. As SubkeyNames, the walk by index ends at the first index
    // that fails; one that fails for another reason than the end leaves
    // the answer unknown.
    std::vector<std::string> names;
    std::wstring buffer(16384, L'\0');
    for (DWORD index = 0; names.size() < limit; ++index) {
      DWORD length = static_cast<DWORD>(buffer.size());
      const LONG r = RegEnumValueW(k.Get(), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (r == ERROR_NO_MORE_ITEMS) break;
      if (r != ERROR_SUCCESS) return std::nullopt;
      names.push_back(Narrow(std::wstring_view(buffer.data(), length)));
    }
    return names;
  }

  bool DeleteKey(RegRoot root, const std::string& key, RegView view) override {
    const std::wstring wide = Wide(key);
    // A root is not ours to delete, and RegDeleteTree with an empty name
    // would empty it.
    if (wide.find_first_not_of(L'\\') == std::wstring::npos) return false;
    {
      // RegDeleteTree has no view of its own: it works below a handle, and
      // a handle opened in a view stays in it. It empties the key; the key
      // itself then goes with RegDeleteKeyEx, which takes the view.
      Key k;
      if (RegOpenKeyExW(RootKey(root), wide.c_str(), 0,
                        DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | ViewFlag(view),
                        k.Out()) != ERROR_SUCCESS)
        return false;
      if (RegDeleteTreeW(k.Get(), nullptr) != ERROR_SUCCESS) return false;
    }
    return RegDeleteKeyExW(RootKey(root), wide.c_str(), ViewFlag(view), 0) == ERROR_SUCCESS;
  }

 private:
  static bool Create(RegRoot root, const std::string& key, RegView view, REGSAM access, Key& k) {
    return RegCreateKeyExW(RootKey(root), Wide(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           access | ViewFlag(view), nullptr, k.Out(), nullptr) == ERROR_SUCCESS;
  }

  // The value's type and bytes. The size is asked for first; should the
  // value grow between the two calls, the read is tried again.
  static bool Query(RegRoot root, const std::string& key, const std::string& name, RegView view, DWORD& type,
                    std::vector<BYTE>& data) {
    Key k;
    if (RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view), k.Out()) !=
        ERROR_SUCCESS)
      return false;
    const std::wstring wideName = Wide(name);
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD size = 0;
      if (RegQueryValueExW(k.Get(), wideName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
      data.assign(size, 0);
      const LONG r = RegQueryValueExW(k.Get(), wideName.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(),
                                      &size);
      if (r == ERROR_SUCCESS) {
        data.resize(size);
        return true;
      }
      if (r != ERROR_MORE_DATA) return false;
    }
    return false;
  }
};

// ---------------------------------------------------------------- system

class Win32System : public ISystem {
 public:
  int MajorVersion() override { return static_cast<int>(Version().dwMajorVersion); }
  int MinorVersion() override { return static_cast<int>(Version().dwMinorVersion); }

  bool Is64BitSystem() override {
#ifdef _WIN64
    return true;
#else
    // A 32-bit program on a 64-bit system runs under WOW64; GetNativeSystemInfo
    // covers the rest (it reports the machine, not the emulated processor).
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) return true;
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64;
#endif
  }

  unsigned UsableProcessors() override {
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return 1;
    return static_cast<unsigned>(std::max(1, std::popcount(static_cast<std::make_unsigned_t<DWORD_PTR>>(process))));
  }

  std::string WindowsFolder() override {
    return WithoutTrailingBackslashes(Narrow(FillWide([](wchar_t* b, DWORD n) { return GetWindowsDirectoryW(b, n); })));
  }

  std::string SystemFolder() override {
    return WithoutTrailingBackslashes(Narrow(FillWide([](wchar_t* b, DWORD n) { return GetSystemDirectoryW(b, n); })));
  }

  std::string ProgramFile() override {
    // GetModuleFileNameW returns the buffer's size, not the size needed,
    // when the name does not fit.
    std::wstring buffer(MAX_PATH + 1, L'\0');
    for (int attempt = 0; attempt < 8; ++attempt) {
      const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) return {};
      if (n < buffer.size()) {
        buffer.resize(n);
        return Narrow(buffer);
      }
      buffer.assign(buffer.size() * 2, L'\0');
    }
    return {};
  }

  uint32_t ProcessId() override { return GetCurrentProcessId(); }
  std::string AnsiToUtf8(const std::string& bytes) override {
    if (bytes.empty() || bytes.size() > 0x7FFFFFFF) return {};
    const int length = static_cast<int>(bytes.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, w.data(), n);
    return Narrow(w);
  }

  bool DriveExists(const std::string& drive) override {
    std::wstring root = DriveRoot(drive);
    if (root.empty() && drive.size() > 2 && drive[0] == '\\' && drive[1] == '\\') {
      // A share's root: the system answers DRIVE_REMOTE when it can reach it.
      root = Wide(drive);
      if (root.back() != L'\\') root += L'\\';
    }
    if (root.empty()) return false;
    const UINT type = GetDriveTypeW(root.c_str());
    return type != DRIVE_UNKNOWN && type != DRIVE_NO_ROOT_DIR;
  }

  bool ConnectNetworkShare(const std::string& share) override {
    std::wstring remote = Wide(share);
    while (remote.size() > 2 && remote.back() == L'\\') remote.pop_back();
    NETRESOURCEW resource{};
    resource.dwType = RESOURCETYPE_DISK;
    resource.lpRemoteName = remote.data();
    static const auto connect =
        SystemRoutine<decltype(&::WNetAddConnection2W)>(L"mpr.dll", "WNetAddConnection2W");
    return connect && connect(&resource, nullptr, nullptr, CONNECT_INTERACTIVE) == NO_ERROR;
  }

  std::optional<uint64_t> FreeSpace(const std::string& path) override {
    std::wstring root = DriveRoot(path);
    if (root.empty()) root = Wide(path);  // a UNC path or a folder: the system finds its volume
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr)) return std::nullopt;
    return available.QuadPart;
  }

  uint64_t TickCount() override { return GetTickCount64(); }

  double LocalNow() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft)) return 0;
    return LocalTicksToDateTime(static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime);
  }

  bool IsElevated() override { return ElevationType() == TokenElevationTypeFull; }
  bool HasLimitedToken() override { return ElevationType() == TokenElevationTypeLimited; }

  bool IsAdminMember() override {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &admins))
      return false;
    // With a limited token the group is there but only to deny access, and
    // CheckTokenMembership does not count it: true means admin rights now.
    BOOL member = FALSE;
    const bool ok = CheckTokenMembership(nullptr, admins, &member) != 0;
    FreeSid(admins);
    return ok && member;
  }

  bool UacEnabled() override {
    if (MajorVersion() < 6) return false;  // before Vista there is no UAC
    // The policy is machine-wide and not redirected. Only a value that is
    // there and set counts: without it nothing asks for elevation, so the
    // setup tests its rights by writing instead.
    const std::optional<uint32_t> lua = registry_.ReadDword(
        RegRoot::LocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", "EnableLUA",
        RegView::View64);
    return lua && *lua != 0;
  }

 private:
  // "X:\" for "X:" or "X:\..."; "" for anything else.
  static std::wstring DriveRoot(const std::string& path) {
    if (path.size() < 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0]))) return {};
    if (path.size() > 2 && path[2] != '\\' && path[2] != '/') return {};
    return std::wstring(1, static_cast<wchar_t>(path[0])) + L":\\";
  }

  // The real version: GetVersionEx is told the version of the program's
  // manifest at most, RtlGetVersion is not.
  static const OSVERSIONINFOW& Version() {
    static const OSVERSIONINFOW version = [] {
      OSVERSIONINFOW v{};
      v.dwOSVersionInfoSize = sizeof v;
      using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
      if (const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
        const auto fn = reinterpret_cast<RtlGetVersionFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
        if (fn && fn(&v) == 0) return v;
      }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
      if (!GetVersionExW(&v)) v = OSVERSIONINFOW{};
#pragma GCC diagnostic pop
      return v;
    }();
    return version;
  }

  static TOKEN_ELEVATION_TYPE ElevationType() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return TokenElevationTypeDefault;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size))
      type = TokenElevationTypeDefault;
    CloseHandle(token);
    return type;
  }

  Win32Registry registry_;
};

}  // namespace

std::unique_ptr<IFileSystem> CreateNativeFileSystem() { return std::make_unique<Win32FileSystem>(); }
std::unique_ptr<IFileSystem> CreateNativeFileSystem(const std::string&) { return std::make_unique<Win32FileSystem>(); }
std::unique_ptr<IRegistry> CreateNativeRegistry(const std::string&) { return std::make_unique<Win32Registry>(); }
std::unique_ptr<ISystem> CreateNativeSystem(const std::string&) { return std::make_unique<Win32System>(); }

int ConsoleDialogs::MessageBox(const std::string& text, const std::string& title, unsigned) {
  const std::string line = (title.empty() ? "" : title + ": ") + text + "\n";
  // A console shows UTF-16 correctly only through WriteConsoleW; redirected
  // output (a pipe or a file) gets the UTF-8 bytes unchanged.
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode;
  if (err != nullptr && err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode)) {
    std::cerr.flush();
    const std::wstring wide = Wide(line);
    DWORD written;
    if (WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)) return IDNONE_;
  }
  std::cerr << line;
  std::cerr.flush();
  return IDNONE_;
}

}  // namespace stw
