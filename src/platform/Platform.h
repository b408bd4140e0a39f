// The platform seam: every service of the operating system that the core
// uses, named after what the caller needs. `platform/win32` implements it
// with the real Windows calls; `platform/host` with a simulated machine on
// Linux. Paths are Windows paths (drive letters, backslashes) everywhere.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Text.h"

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

// The outcome of putting a file in place by renaming it. InUse: the target
// is held open or is a running program, so the rename may succeed at the
// next restart; Failed: any other reason.
enum class MoveResult { Moved, InUse, Failed };

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
  // Gives the file, written to its end, the name `target` (in its own
  // folder or another of the same volume), replacing a file there (a link
  // standing there is replaced, never followed; a folder never). The
  // rename goes through this handle, so the file renamed is the one
  // written, whatever stands at its first name by now, and costs no
  // look-up of either name. Call after the last write and
  // before Close. nullopt when this file cannot be renamed through its
  // handle: the caller closes it and moves it by name.
  virtual std::optional<MoveResult> RenameTo(const std::string& target, std::string& error) { return std::nullopt; }
};

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;
  // Opens for reading with other writers denied. nullptr on failure.
  virtual std::unique_ptr<IReadFile> OpenRead(const std::string& path) = 0;
  // Creates or truncates. nullptr on failure, with the system's message.
  virtual std::unique_ptr<IWriteFile> Create(const std::string& path, std::string& error) = 0;
  // Creates a new file `folder`\`prefix` + 8 hex digits + ".tmp" and returns
  // it open for writing, `path` naming it. The name is created exclusively
  // and never through a link standing at it, and the data go through the
  // handle that created it, so nobody can swap the file for a link to
  // another between its creation and its use. nullptr with `error` set on
  // failure.
  virtual std::unique_ptr<IWriteFile> CreateTempFile(const std::string& folder, const std::string& prefix,
                                                     std::string& path, std::string& error) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;
  virtual bool DeleteFile(const std::string& path) = 0;
  // Renames `from` over `to`, replacing a file there. Never replaces a
  // folder or a reparse point (a link or junction) standing at `to`.
  // InUse and Failed as for IWriteFile::RenameTo, the reason in `error`.
  using MoveResult = stw::MoveResult;
  virtual MoveResult MoveReplace(const std::string& from, const std::string& to, std::string& error) = 0;
  // Schedules `from` to replace `to` at the next restart of the system.
  virtual bool ReplaceAtRestart(const std::string& from, const std::string& to) = 0;
  // The folder for temporary files, with a trailing backslash; "" if none.
  virtual std::string TempFolder() = 0;

  // Folders. CreateFolder makes one level; the parent must exist.
  virtual bool CreateFolder(const std::string& path) = 0;
  // Makes a new folder (false when it exists already) that only the
  // current user, the administrators and the system can open.
  virtual bool CreatePrivateFolder(const std::string& path) = 0;
  virtual bool RemoveFolder(const std::string& path) = 0;  // only when empty
  virtual bool IsReparsePoint(const std::string& path) = 0;
  // File facts; nullopt when the file cannot be read.
  virtual std::optional<uint64_t> FileSize(const std::string& path) = 0;
  virtual std::optional<double> LastWriteTime(const std::string& path) = 0;  // local date-time
  // The version of the file's version resource (fixed file information:
  // most significant 32 bits high), nullopt when it has none.
  virtual std::optional<uint64_t> FileVersion(const std::string& path) = 0;
  virtual bool IsReadOnly(const std::string& path) = 0;
  virtual bool SetReadOnly(const std::string& path, bool readOnly) = 0;
  // Copies over an existing file; false when `to` cannot be written.
  virtual bool CopyFile(const std::string& from, const std::string& to) = 0;
  // Schedules the file's deletion at the next restart.
  virtual bool DeleteAtRestart(const std::string& path) = 0;
  // The short (8.3) form of an existing path, or the path itself.
  virtual std::string ShortPathName(const std::string& path) = 0;

  // The names of the entries of `folder` that start with `prefix` and end
  // with `suffix` (ASCII case ignored), links not followed; empty when the
  // folder cannot be read.
  struct Entry {
    std::string name;
    bool folder = false;
    bool link = false;  // a reparse point (link or junction), file or folder
    bool readOnly = false;
  };
  virtual std::vector<Entry> ListFolder(const std::string& folder, const std::string& prefix,
                                        const std::string& suffix) = 0;
  // Marks a folder as in use by this process until the returned token is
  // destroyed: FolderInUse then answers true in every process. nullptr when
  // the folder cannot be held (it does not exist).
  virtual std::shared_ptr<void> HoldFolder(const std::string& path) = 0;
  virtual bool FolderInUse(const std::string& path) = 0;
  // The files that the system is to move or delete at its next restart.
  virtual std::vector<std::string> PendingRestartFiles() = 0;
};

// Registry roots and views. `Default` is the view a 32-bit program gets
// without asking (the 32-bit view on a 64-bit system); the 64-bit build
// asks for that view explicitly, so both builds write the same keys.
enum class RegRoot { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };
enum class RegView { Default, View64 };

// A value as the registry holds it, whatever its type.
struct RegValue {
  enum Kind { String, ExpandString, Dword, Binary, Other } kind = String;
  std::string text;  // String and ExpandString, without the terminating zero
  uint32_t dword = 0;  // Dword
  std::string bytes;  // the raw data of every kind (UTF-16 for strings)
};

class IRegistry {
 public:
  virtual ~IRegistry() = default;
  virtual bool KeyExists(RegRoot root, const std::string& key, RegView view = RegView::Default) = 0;
  // Creates the key with its missing parents; false without the right.
  virtual bool CreateKey(RegRoot root, const std::string& key, RegView view = RegView::Default) = 0;
  // Whether an existing key opens for reading and writing.
  virtual bool CanWrite(RegRoot root, const std::string& key, RegView view = RegView::Default) = 0;
  virtual std::optional<std::string> ReadString(RegRoot root, const std::string& key, const std::string& name,
                                                RegView view = RegView::Default) = 0;
  virtual std::optional<uint32_t> ReadDword(RegRoot root, const std::string& key, const std::string& name,
                                            RegView view = RegView::Default) = 0;
  // Writing creates the key when it is missing. "" names the default value.
  virtual bool WriteString(RegRoot root, const std::string& key, const std::string& name, const std::string& value,
                           RegView view = RegView::Default) = 0;
  virtual bool WriteDword(RegRoot root, const std::string& key, const std::string& name, uint32_t value,
                          RegView view = RegView::Default) = 0;
  virtual bool DeleteValue(RegRoot root, const std::string& key, const std::string& name,
                           RegView view = RegView::Default) = 0;
  // REG_BINARY; an empty block writes a value of length 0.
  virtual bool WriteBinary(RegRoot root, const std::string& key, const std::string& name, const std::string& bytes,
                           RegView view = RegView::Default) = 0;
  // Any value; nullopt when the key or the value cannot be read.
  virtual std::optional<RegValue> QueryValue(RegRoot root, const std::string& key, const std::string& name,
                                             RegView view = RegView::Default) = 0;
  // The names of the key's subkeys in the order of enumeration by index,
  // at most `limit`; empty when the key cannot be opened.
  virtual std::vector<std::string> SubkeyNames(RegRoot root, const std::string& key, size_t limit,
                                               RegView view = RegView::Default) = 0;
  // Deletes the key with everything below it.
  virtual bool DeleteKey(RegRoot root, const std::string& key, RegView view = RegView::Default) = 0;
  // The names of the key's values ("" for its default value) in the order
  // of enumeration by index, at most `limit`; nullopt when the key cannot
  // be opened. A registry that cannot enumerate values answers nullopt,
  // which callers must read as "not known to be empty".
  virtual std::optional<std::vector<std::string>> ValueNames(RegRoot root, const std::string& key, size_t limit,
                                                             RegView view = RegView::Default) {
    return std::nullopt;
  }
};

// What a shell link (.lnk) holds.
struct ShellLinkData {
  std::string Path, Arguments, Description, WorkingDirectory, IconPath;
  int IconIndex = 0;
  int ShowCmd = 5;  // SW_SHOW
  uint16_t HotKey = 0;
};

// A program started by IShell::StartProcess; destroying it closes the
// handle, never the program.
class IProcess {
 public:
  virtual ~IProcess() = default;
  static constexpr uint32_t kInfinite = 0xFFFFFFFF;
  // Waits up to `milliseconds`; true when the program has ended.
  virtual bool Wait(uint32_t milliseconds) = 0;
  // The exit code, nullopt while the program runs.
  virtual std::optional<uint32_t> ExitCode() = 0;
};

// The shell and the system services that register what was installed.
// Thread-safe: fonts are added from the workers.
class IShell {
 public:
  virtual ~IShell() = default;
  // Writes the link to `linkPath` (whose folder exists). False with the
  // failure in `error`: "Cannot create IShellLink", "Cannot create
  // IPersistFile" or "Cannot save " and the path.
  virtual bool SaveShellLink(const ShellLinkData& link, const std::string& linkPath, std::string& error) = 0;
  // Sets the start-pin option of a saved link (Windows 8 and later).
  virtual bool SetStartPinOption(const std::string& linkPath, uint32_t value) = 0;
  // Adds the font file to the fonts of the session; false when refused.
  virtual bool AddFontResource(const std::string& path) = 0;
  // Tells every top-level window once that the fonts changed.
  virtual void BroadcastFontChange() = 0;
  // Loads the type library in `path` and registers it with `helpFolder`;
  // false with the system's message in `error`.
  virtual bool RegisterTypeLibrary(const std::string& path, const std::string& helpFolder, std::string& error) = 0;
  // Starts `program` (a full path) with the whole `commandLine` (which
  // repeats the program as its first word). nullptr when it cannot start.
  virtual std::unique_ptr<IProcess> StartProcess(const std::string& program, const std::string& commandLine) = 0;
  // Opens a file with the verb "open", shown normally (SW_SHOW); waits for
  // it to end when `wait`. False when it cannot be started.
  virtual bool OpenFile(const std::string& file, const std::string& parameters, bool wait) = 0;
  // Starts `file` through the shell's extended call with `verb` ("runas"
  // asks the user for administrator rights first), `parameters` and the
  // show command `show` (SW_HIDE 0, SW_SHOWNORMAL 1), keeping the process
  // so that the caller can wait for it; `owner` (a window, or nullptr)
  // owns the system's prompt. nullptr when nothing started, with
  // `declined` set when the user refused the prompt.
  virtual std::unique_ptr<IProcess> ShellStart(const std::string& file, const std::string& verb,
                                               const std::string& parameters, void* owner, int show,
                                               bool& declined) = 0;
  // Tells the shell that file associations changed.
  virtual void NotifyAssociationsChanged() = 0;
  // Removes the registration of the type library in `path` (the library is
  // loaded to learn its identity, so the file must still be there); false
  // with the system's message in `error`.
  virtual bool UnregisterTypeLibrary(const std::string& path, std::string& error) {
    error = "Type libraries cannot be unregistered here.";
    return false;
  }
  // A running program by its process id, to wait for its end; nullptr when
  // no such program runs (any more) or it cannot be opened.
  virtual std::unique_ptr<IProcess> OpenProcess(uint32_t processId) { return nullptr; }
  // Adds an access entry granting the Users group (S-1-5-32-545) full
  // control of the folder, inherited by its files and subfolders. False
  // when the folder cannot be opened or its access list not written.
  virtual bool GrantUsersFullControl(const std::string& folder) = 0;
  // Whether the drive of `root` ("X:\\") is a removable drive.
  virtual bool IsRemovableDrive(const std::string& root) = 0;
};

// Facts about the running system and process.
class ISystem {
 public:
  virtual ~ISystem() = default;
  virtual int MajorVersion() = 0;
  virtual int MinorVersion() = 0;
  virtual bool Is64BitSystem() = 0;
  // Processors in the process's affinity mask (at least 1).
  virtual unsigned UsableProcessors() = 0;
  // The Windows and system folders without trailing backslash; "" on failure.
  virtual std::string WindowsFolder() = 0;
  virtual std::string SystemFolder() = 0;
  // This program's own file (argument 0).
  virtual std::string ProgramFile() = 0;
  // The id of this program's process (0 when unknown), which another
  // program may wait for with IShell::OpenProcess.
  virtual uint32_t ProcessId() { return 0; }
  // Text in the system's ANSI code page (what programs without Unicode
  // wrote) as UTF-8. This default reads Windows-1252, the code page of
  // Western systems; the real system asks Windows for its own.
  virtual std::string AnsiToUtf8(const std::string& bytes) { return Windows1252ToUtf8(bytes); }
  // "C:", "C:\...", or a network share "\\server\share\" (which exists
  // when it can be reached now).
  virtual bool DriveExists(const std::string& drive) = 0;
  // Connects the network share "\\server\share" as a disk resource with
  // the user's own credentials (the system may ask for them); true when
  // the connection was made.
  virtual bool ConnectNetworkShare(const std::string& share) = 0;
  // Free bytes for the caller on the drive of `path`; nullopt when unknown.
  virtual std::optional<uint64_t> FreeSpace(const std::string& path) = 0;
  virtual uint64_t TickCount() = 0;  // milliseconds
  virtual double LocalNow() = 0;  // local date-time
  // Process token: elevation type full (2) / limited (3); membership of
  // the Administrators group; UAC switched on.
  virtual bool IsElevated() = 0;
  virtual bool HasLimitedToken() = 0;
  virtual bool IsAdminMember() = 0;
  virtual bool UacEnabled() = 0;
};

// The desktop services of the wizard window.
class IPrinter;

class IDesktop {
 public:
  virtual ~IDesktop() = default;
  // The system's default printer (platform/Printer.h); lives as long as the
  // desktop.
  virtual IPrinter& Printer() = 0;
  // Whether a top-level window with exactly this title (when `title` is
  // not empty) and of this class (when `windowClass` is not empty) exists.
  virtual bool WindowExists(const std::string& title, const std::string& windowClass) = 0;
  // Hands a file (a document, a folder, a program) to the shell: `verb`
  // "" for the default, `folder` the working folder ("" for none), `show`
  // a show command (SW_SHOW 5, SW_SHOWMAXIMIZED 3). False when refused.
  virtual bool ShellOpen(const std::string& file, const std::string& verb, const std::string& parameters,
                            const std::string& folder, int show) = 0;
  // Enables the shutdown privilege of the process and asks the system to
  // restart; false when either is refused.
  virtual bool RestartSystem() = 0;
  // The roots of the logical drives, "C:\" and so on, in drive order.
  virtual std::vector<std::string> LogicalDrives() = 0;
  // A day (days since 1899-12-30) in the user's short date format.
  virtual std::string FormatShortDate(int32_t dayNumber) = 0;
  // Facts of a drive given by its root ("E:\\"): whether it is a network
  // drive; its network name (\\server\share) and its volume label, nullopt
  // when the network provider or the volume cannot tell.
  virtual bool IsNetworkDrive(const std::string& root) = 0;
  virtual std::optional<std::string> UniversalName(const std::string& root) = 0;
  virtual std::optional<std::string> VolumeLabel(const std::string& root) = 0;
};

// Buttons and icons of a message box; the values are those of Windows.
enum MessageBoxStyle : unsigned {
  MB_OK_ = 0x0,
  MB_YESNO_ = 0x4,
  MB_RETRYCANCEL_ = 0x5,
  MB_ICONERROR_ = 0x10,
  MB_ICONQUESTION_ = 0x20,
  MB_ICONEXCLAMATION_ = 0x30,
  MB_ICONINFORMATION_ = 0x40,
};
enum MessageBoxAnswer : int { IDNONE_ = 0, IDOK_ = 1, IDCANCEL_ = 2, IDRETRY_ = 4, IDYES_ = 6, IDNO_ = 7 };

class IDialogs {
 public:
  virtual ~IDialogs() = default;
  // Shows a message box and returns the answer. IDNONE_ means no box could
  // be shown (unattended run): the caller takes its failure path.
  virtual int MessageBox(const std::string& text, const std::string& title, unsigned style) = 0;
};

}  // namespace stw
