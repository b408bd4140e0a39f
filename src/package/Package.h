// The package container: the package appended to the installer file (and
// continued in volume files), its framing of blocks, embedded support files,
// the per-file tables and the extraction of one file by data index.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "package/DataStream.h"
#include "package/Lzma.h"
#include "platform/Platform.h"

namespace stw {

constexpr size_t kLocatorOffset = 128;
constexpr size_t kLocatorSize = 24;
constexpr size_t kHeaderSize = 74;
// Blocks of the setup definition are small; anything larger than this is a
// damaged size field, refused before any allocation.
constexpr int64_t kMaxBlockSize = 256 << 20;

// Interface strings with a meaning in this layer.
enum : int { kStrVolumePrompt = 52, kStrReadError = 75, kStrCreateError = 76 };

// Name of volume k (k >= 2) of a package file: the extension replaced by the
// number, left-padded with zeros to at least three digits.
std::string VolumeFileName(const std::string& setupFile, int volume);

// The per-file tables, indexed by data index.
struct TFileTables {
  std::vector<int64_t> FileOffsets;  // -1: not in the package's data range
  std::vector<int64_t> FileSizes;
  std::vector<int64_t> FileStoredSizes;
  std::vector<double> FileTimes;  // local date-time, days since 1899-12-30
  std::vector<uint64_t> FileVersions;  // low half all ones: no version
  std::vector<uint32_t> FileChecksums;
  std::vector<std::string> InstalledPaths;
  std::vector<uint8_t> FileUsed;
  size_t Count() const { return FileOffsets.size(); }
};

class TSetupPackage;
class TStagingFolders;

// What a thread that extracts file after file keeps between files: the
// decoder with its dictionary and the stream's read buffer, so that neither
// is allocated (and freshly paged in) per file. Each belongs to one thread.
struct TReadBuffers {
  TLzmaDecoder decoder;
  std::unique_ptr<uint8_t[]> stream;
};

// One stored range of the package read through a 1 MiB buffer. Each stream
// belongs to one thread; the shared package file is touched only under
// `PackageLock`, and every refill re-positions it from this stream's own
// base + consumed, so refills of several workers may interleave freely.
class TSetupDataFileStream {
 public:
  static constexpr size_t kBufferSize = 1048576;
  // `buffer`, when given, is a buffer of kBufferSize bytes that the stream
  // uses instead of allocating its own (it must outlive the stream).
  TSetupDataFileStream(TSetupPackage& package, int64_t base, int64_t remaining, std::string fileName,
                       uint8_t* buffer = nullptr);
  // Reads up to n bytes; fewer only at the end of the range.
  size_t Read(uint8_t* out, size_t n);
  // The next bytes of the range, at most n, where the stream holds them
  // (valid until the next call); none only at the end of the range. Stored
  // data pass on from here without a copy.
  std::pair<const uint8_t*, size_t> Next(size_t n);
  int64_t Size() const { return consumed_ + remaining_; }
  int64_t Consumed() const { return consumed_; }
  int64_t Remaining() const { return remaining_; }
  const std::string& FileName() const { return fileName_; }

 private:
  void Refill();
  TSetupPackage& package_;
  std::unique_ptr<uint8_t[]> own_;
  uint8_t* buffer_;
  size_t bufferPos_ = 0;
  size_t bufferFill_ = 0;
  std::string fileName_;
  int64_t base_;
  int64_t consumed_ = 0;
  int64_t remaining_;
};

class TSetupPackage {
 public:
  TSetupPackage(IFileSystem& fs, IDialogs& dialogs) : fs_(fs), dialogs_(dialogs) {}
  ~TSetupPackage() { ClosePackage(); }
  TSetupPackage(const TSetupPackage&) = delete;
  TSetupPackage& operator=(const TSetupPackage&) = delete;

  // Inputs set by the owner before use.
  std::string SetupFile;
  std::string TempFolder;  // ends with a backslash
  std::string WindowCaption;  // title of the missing-volume prompt
  std::string PublisherWithAddress;  // argument of the read-error text
  std::vector<std::string> InterfaceStrings;

  // Interface string n, or a built-in text for the few this layer uses when
  // the package does not have that many strings.
  std::string IString(int n) const;

  void OpenPackage();
  void ClosePackage();
  bool IsOpen() const { return PackageStream != nullptr; }
  // Positions the package at an absolute package position, opening another
  // volume (and asking for it while it is missing) as needed.
  void SeekPackage(int64_t position);
  // Package position of the next direct read.
  int64_t Position() const;

  // Direct reads at the current position; they never switch volumes. A read
  // past the end raises ESetupException naming `what` and the position.
  uint8_t ReadU8(const char* what);
  uint16_t ReadU16(const char* what);
  int32_t ReadI32(const char* what);
  int64_t ReadI64(const char* what);
  std::string ReadRaw(size_t n, const char* what);
  void SkipDirect(int64_t n, const char* what);
  // Bytes left in the open volume after the current position.
  uint64_t DirectRemaining() const;

  std::string ReadPackageString(const char* what);
  TDataStream ReadDataBlock(const char* what);

  int ExtractSupportFile(const std::string& name);
  void SkipSupportFile(const std::string& name);
  // Support files are extracted before the file tables are read, so their
  // CRC-32 can only be compared once the tables are there: raises the
  // read-error text for the first extracted support file whose size or
  // CRC-32 differs from the tables'.
  void CheckSupportFiles() const;
  // Whether `size` bytes of running CRC-32 `crc` are data index `index`'s
  // own (tables loaded); raises the read-error text for `fileName` if not.
  void CheckAgainstTables(int index, uint64_t size, uint32_t crc, const std::string& fileName) const;
  // Writes data index `index` to `target`. Data are written to a temporary
  // file in the target's folder, checked (size, and CRC-32 once the tables are
  // loaded) and only then renamed over the target, so a damaged file never
  // stands under the target's name. With `fallback`, a target that cannot
  // be replaced (in use) is replaced at the next restart instead and
  // `target` becomes the temporary path.
  // `buffers`: a worker's own, kept from file to file (optional);
  // `staging`: where the temporary files of large folders go (optional).
  void ExtractPackageFile(std::string& target, int index, bool fallback, TReadBuffers* buffers = nullptr,
                          TStagingFolders* staging = nullptr);

  // How a stored range holds its bytes: a file is stored as it is when its
  // stored size equals its size and LZMA data otherwise; a block is LZMA
  // data whatever its stored size; an installer carried for the system is
  // raw bytes.
  enum class RangeForm { FileRule, Compressed, Raw };
  // Decodes or copies one stored range to `sink`, checking the output size
  // (and the CRC-32 when `crc` is given). Raises the read-error text.
  void ReadStoredRange(int64_t base, int64_t stored, int64_t size, const std::string& fileName,
                       const uint32_t* crc, const ByteSink& sink, RangeForm form = RangeForm::FileRule,
                       TReadBuffers* buffers = nullptr);

  IFileSystem& FileSystem() { return fs_; }

  // State of the open package.
  std::unique_ptr<IReadFile> PackageStream;
  std::mutex PackageLock;
  int CurrentVolume = 0;
  uint32_t VolumeSize = 0;
  int32_t HeaderOffset = 0;
  int32_t FirstSection = 0;
  LzmaProps Props{};

  // Support files extracted at start; "*" for one passed over. The size
  // and CRC-32 of what was extracted for each (0 for one passed over).
  std::vector<std::string> TempFileNames;
  std::vector<std::string> TempFilePaths;
  struct Extracted {
    uint64_t size = 0;
    uint32_t crc = 0;
  };
  std::vector<Extracted> TempFileSums;
  TFileTables Tables;
  bool TablesLoaded = false;

 private:
  friend class TSetupDataFileStream;
  [[noreturn]] void SeekFailed(int64_t position) const;
  [[noreturn]] void DamagedDirect(const char* what, size_t need) const;
  [[noreturn]] void ReadError(const std::string& fileName, const std::string& reason) const;
  std::string ReadDirectBytes(size_t n, const char* what);
  void OpenVolume(int volume);
  IFileSystem& fs_;
  IDialogs& dialogs_;
};

}  // namespace stw
