// The platform seam on real Windows. Thin on purpose: each call converts the
// program's UTF-8 to UTF-16, calls the wide-character (W) entry point and
// converts the answer back. Policy (retries, fallbacks, messages for the
// user) lives in the layers above, where the host build can test it.
#include "platform/Factory.h"
#include "platform/Platform.h"

#include "platform/win32/Windows.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/Text.h"

namespace stw {
namespace {

std::wstring Wide(std::string_view utf8) {
  const std::u16string s = Utf8ToUtf16(utf8);
  return std::wstring(s.begin(), s.end());
}

std::string Narrow(std::wstring_view wide) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

// The system's text for an error code, without the line end that
// FormatMessage appends.
std::string SystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (n != 0 && buffer) text.assign(buffer, n);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  if (text.empty()) return "system error " + std::to_string(code);
  return Narrow(text);
}

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

 private:
  Handle file_;
  FILETIME time_{};
  bool hasTime_ = false;
  bool writtenSinceTime_ = false;
};

DWORD Attributes(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()); }

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
    const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      error = SystemMessage(GetLastError());
      return nullptr;
    }
    return std::make_unique<Win32WriteFile>(h);
  }

  std::string CreateTempFileIn(const std::string& folder, const std::string& prefix) override {
    // GetTempFileNameW takes at most three characters of the prefix and
    // creates the file, so the name is reserved when it returns.
    wchar_t name[MAX_PATH + 1];
    if (GetTempFileNameW(Wide(folder).c_str(), Wide(prefix).c_str(), 0, name) == 0) return {};
    return Narrow(name);
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

  bool MoveReplace(const std::string& from, const std::string& to, std::string& error) override {
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    error = SystemMessage(GetLastError());
    return false;
  }

  bool ReplaceAtRestart(const std::string& from, const std::string& to) override {
    // Recorded by the system (PendingFileRenameOperations); needs the rights
    // of an administrator, which the caller has or gets told about.
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
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
};

}  // namespace

std::unique_ptr<IFileSystem> CreateNativeFileSystem() { return std::make_unique<Win32FileSystem>(); }

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
