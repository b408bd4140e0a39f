// namecost: what putting a file in place costs on the system's file layer,
// three ways, for N small files into one folder:
//   namecost FOLDER MODE N
//   MODE 0: the temporary file created by its full path beside the target,
//           renamed onto the target by its full NT path (the setup's way);
//   MODE 1: both names relative to an open handle of the folder;
//   MODE 2: the temporary file created in a private subfolder, renamed
//           into the folder relative to its handle.
// Under Wine a name that does not exist is looked for by reading the whole
// folder; MODE 2 reads only the small private folder for the temporary
// name. Prints the seconds; run it under `strace -f -c` for the calls.
// Built by bench/wine.sh's instructions in bench/README.md (MinGW-w64,
// -municode -static).
#include <windows.h>
#include <winternl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using NtCreateFileT = NTSTATUS(WINAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                         ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtSetInformationFileT = NTSTATUS(WINAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
NtCreateFileT createFile;
NtSetInformationFileT setInformation;

struct RenameInfo {
  BOOLEAN replace;
  HANDLE root;
  ULONG length;
  WCHAR name[1];
};

bool Rename(HANDLE h, HANDLE root, const std::wstring& name) {
  std::vector<unsigned char> buf(sizeof(RenameInfo) + name.size() * 2 + 2, 0);
  auto* r = reinterpret_cast<RenameInfo*>(buf.data());
  r->replace = TRUE;
  r->root = root;
  r->length = static_cast<ULONG>(name.size() * 2);
  std::memcpy(r->name, name.data(), name.size() * 2);
  IO_STATUS_BLOCK io;
  return setInformation(h, &io, buf.data(), static_cast<ULONG>(buf.size()), 10 /* FileRenameInformation */) >= 0;
}

HANDLE CreateRelative(HANDLE root, const std::wstring& name) {
  UNICODE_STRING us;
  us.Buffer = const_cast<PWSTR>(name.c_str());
  us.Length = us.MaximumLength = static_cast<USHORT>(name.size() * 2);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE h = nullptr;
  const NTSTATUS s = createFile(&h, GENERIC_WRITE | DELETE | SYNCHRONIZE, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
                                FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | 0x00200000,
                                nullptr, 0);  // 0x00200000: FILE_OPEN_REPARSE_POINT
  return s >= 0 ? h : INVALID_HANDLE_VALUE;
}

HANDLE OpenFolder(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_TRAVERSE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: namecost FOLDER MODE N\n");
    return 2;
  }
  const HMODULE nt = GetModuleHandleW(L"ntdll.dll");
  createFile = reinterpret_cast<NtCreateFileT>(reinterpret_cast<void*>(GetProcAddress(nt, "NtCreateFile")));
  setInformation =
      reinterpret_cast<NtSetInformationFileT>(reinterpret_cast<void*>(GetProcAddress(nt, "NtSetInformationFile")));
  const std::wstring dir = argv[1];
  const int mode = _wtoi(argv[2]), n = _wtoi(argv[3]);
  for (size_t i = 3; i <= dir.size(); ++i)  // the folder and those above it
    if (i == dir.size() || dir[i] == L'\\') CreateDirectoryW(dir.substr(0, i).c_str(), nullptr);
  const HANDLE folder = OpenFolder(dir);
  HANDLE privateFolder = INVALID_HANDLE_VALUE;
  if (mode == 2) {
    CreateDirectoryW((dir + L"\\stwprivate.tmp").c_str(), nullptr);
    privateFolder = OpenFolder(dir + L"\\stwprivate.tmp");
  }
  char data[100] = {1};
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    wchar_t temp[32], final[32];
    std::swprintf(temp, 32, L"stw%08X.tmp", static_cast<unsigned>(i * 2654435761u));
    std::swprintf(final, 32, L"file%05d.txt", i);
    HANDLE h;
    if (mode == 0)
      h = CreateFileW((dir + L"\\" + temp).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    else
      h = CreateRelative(mode == 1 ? folder : privateFolder, temp);
    DWORD put;
    bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, data, sizeof data, &put, nullptr);
    ok = ok && (mode == 0 ? Rename(h, nullptr, L"\\??\\" + dir + L"\\" + final) : Rename(h, folder, final));
    if (!ok) {
      std::printf("failed at file %d\n", i);
      return 1;
    }
    CloseHandle(h);
  }
  std::printf("mode %d: %d files in %.3f s\n", mode, n,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  return 0;
}
