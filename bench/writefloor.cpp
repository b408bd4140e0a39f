// writefloor: a payload's files put on the disk through the system's file
// layer and nothing else, the floor under what an installer pays for the
// file system alone. bench/wine.sh runs it under wine64 beside the setup.
//   writefloor ROOT LIST DEST THREADS MODE [SYNC]
// LIST names the payload's files relative to ROOT, one per line with "/"
// between folders (payload.list). Every file is read into memory first
// (not timed). Then, timed: the folders of DEST are made, and THREADS
// threads take the files in list order and write each one, in one of two
// ways (MODE):
//   direct  straight under its final name (CreateFileW CREATE_ALWAYS,
//           WriteFile in 1 MiB pieces, SetFileTime, CloseHandle): the
//           fewest calls a file can take;
//   staged  the calls the setup makes: a temporary file created new (in a
//           folder of its own inside a folder of 64 entries or more, else
//           beside the target), written, timed, renamed onto the final
//           name through its handle (NtSetInformationFile), closed; the
//           staging folders removed at the end.
// No decoding, no check, no log, none of the setup's other work. Prints
// the count, the seconds of the timed part and the process's CPU seconds
// in it. With SYNC (a folder), the file SYNC\ready is made when the reading
// is done and the timed part waits for SYNC\go: whoever runs it can then
// measure the timed part alone from outside (the Wine server's CPU time).
// Built by bench/wine.sh (MinGW-w64, -municode -static).
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring Wide(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

bool ReadWhole(const std::wstring& path, std::string& bytes) {
  const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(h, &size) != 0;
  bytes.assign(ok ? static_cast<size_t>(size.QuadPart) : 0, '\0');
  for (size_t done = 0; ok && done < bytes.size();) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    ok = ReadFile(h, bytes.data() + done, want, &got, nullptr) && got > 0;
    done += got;
  }
  CloseHandle(h);
  return ok;
}

// The folder part of a relative name ("" for a file at the top).
std::wstring FolderOf(const std::wstring& rel) {
  const size_t slash = rel.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : rel.substr(0, slash);
}

// Renames an open file (opened with DELETE) onto a full path, replacing
// what stands there, the way the setup puts a file in place.
bool RenameByHandle(HANDLE file, const std::wstring& target) {
  using SetInformation = NTSTATUS(WINAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
  static const SetInformation set = reinterpret_cast<SetInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
  struct Header {  // FILE_RENAME_INFORMATION
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[1];
  };
  const std::wstring name = L"\\??\\" + target;
  std::vector<unsigned char> info(offsetof(Header, fileName) + (name.size() + 1) * sizeof(WCHAR), 0);
  Header* h = reinterpret_cast<Header*>(info.data());
  h->replaceIfExists = TRUE;
  h->fileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  std::copy(name.begin(), name.end(), reinterpret_cast<WCHAR*>(info.data() + offsetof(Header, fileName)));
  IO_STATUS_BLOCK io{};
  constexpr int kFileRenameInformation = 10;
  return set && set(file, &io, info.data(), static_cast<ULONG>(info.size()), kFileRenameInformation) >= 0;
}

double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto ticks = [](const FILETIME& f) { return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 6 || (std::wstring(argv[5]) != L"direct" && std::wstring(argv[5]) != L"staged")) {
    std::fprintf(stderr, "usage: writefloor ROOT LIST DEST THREADS direct|staged [SYNC]\n");
    return 2;
  }
  const std::wstring root = argv[1], dest = argv[3];
  const bool staged = std::wstring(argv[5]) == L"staged";
  const int threads = std::max(1, _wtoi(argv[4]));
  std::string listText;
  if (!ReadWhole(argv[2], listText)) {
    std::fprintf(stderr, "writefloor: cannot read the list\n");
    return 1;
  }
  std::istringstream list(listText);
  struct File {
    std::wstring rel;
    std::string bytes;
  };
  std::vector<File> files;
  std::set<std::wstring> folders;
  std::map<std::wstring, size_t> entries;  // folder -> files and folders directly in it
  unsigned long long total = 0;
  for (std::string line; std::getline(list, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::wstring rel = Wide(line);
    std::replace(rel.begin(), rel.end(), L'/', L'\\');
    for (size_t i = rel.find(L'\\'); i != std::wstring::npos; i = rel.find(L'\\', i + 1)) folders.insert(rel.substr(0, i));
    ++entries[FolderOf(rel)];
    files.push_back({rel, {}});
    if (!ReadWhole(root + L"\\" + rel, files.back().bytes)) {
      std::fprintf(stderr, "writefloor: cannot read %s\n", line.c_str());
      return 1;
    }
    total += files.back().bytes.size();
  }

  for (const std::wstring& f : folders) ++entries[FolderOf(f)];
  if (argc > 6) {
    const std::wstring sync = argv[6];
    CloseHandle(CreateFileW((sync + L"\\ready").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    while (GetFileAttributesW((sync + L"\\go").c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(5);
  }
  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  for (size_t i = 3; i <= dest.size(); ++i)  // DEST and those above it
    if (i == dest.size() || dest[i] == L'\\') CreateDirectoryW(dest.substr(0, i).c_str(), nullptr);
  for (const std::wstring& f : folders)  // a set: every parent comes before its children
    CreateDirectoryW((dest + L"\\" + f).c_str(), nullptr);
  std::atomic<int> failed{0};
  // Where each folder's temporary files go (staged only), and the staging
  // folders made for that.
  std::map<std::wstring, std::wstring> tempFolder;
  std::vector<std::wstring> stagingFolders;
  if (staged) {
    for (const auto& [folder, count] : entries) {
      std::wstring path = folder.empty() ? dest : dest + L"\\" + folder;
      if (count >= 64) {
        path += L"\\stwfloor0";
        if (!CreateDirectoryW(path.c_str(), nullptr)) ++failed;
        stagingFolders.push_back(path);
      }
      tempFolder[folder] = path;
    }
  }
  std::atomic<size_t> next{0};
  FILETIME when;
  GetSystemTimeAsFileTime(&when);
  const auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < files.size();) {
      const File& f = files[i];
      const std::wstring target = dest + L"\\" + f.rel;
      const HANDLE h =
          staged ? CreateFileW((tempFolder.at(FolderOf(f.rel)) + L"\\stw" + std::to_wstring(i) + L".tmp").c_str(),
                               GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                 : CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) {
        ++failed;
        continue;
      }
      bool ok = true;
      for (size_t done = 0; ok && done < f.bytes.size();) {
        DWORD put = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(f.bytes.size() - done, 1 << 20));
        ok = WriteFile(h, f.bytes.data() + done, want, &put, nullptr) && put > 0;
        done += put;
      }
      ok = SetFileTime(h, nullptr, nullptr, &when) && ok;
      if (staged) ok = ok && RenameByHandle(h, target);
      if (!CloseHandle(h) || !ok) ++failed;
    }
  };
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(work);
  for (std::thread& t : pool) t.join();
  for (const std::wstring& path : stagingFolders)
    if (!RemoveDirectoryW(path.c_str())) ++failed;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("files=%zu bytes=%llu threads=%d seconds=%.3f cpu=%.3f failed=%d\n", files.size(), total, threads,
              seconds, CpuSeconds() - cpu0, failed.load());
  return failed.load() == 0 ? 0 : 1;
}
