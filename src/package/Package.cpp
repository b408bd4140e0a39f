#include "package/Package.h"

#include <algorithm>
#include <cstdio>

#include "base/Text.h"
#include "package/Crc32.h"
#include "platform/WholeFile.h"

namespace stw {

std::string VolumeFileName(const std::string& setupFile, int volume) {
  char num[16];
  std::snprintf(num, sizeof num, ".%03d", volume);
  return ChangeFileExt(setupFile, num);
}

std::string TSetupPackage::IString(int n) const {
  if (n >= 0 && static_cast<size_t>(n) < InterfaceStrings.size()) return InterfaceStrings[n];
  switch (n) {
    case kStrVolumePrompt:
      return "Please insert the disk or make available the volume file %d of the installation, then press OK.";
    case kStrReadError:
      return "The file %s could not be read from the installation package. The package may be damaged; please "
             "contact %s.";
    case kStrCreateError:
      return "The file %s could not be created.";
    default:
      return {};
  }
}

// ---------------------------------------------------------------- opening

void TSetupPackage::OpenPackage() {
  ClosePackage();
  PackageStream = fs_.OpenRead(SetupFile);
  if (!PackageStream) throw ESetupException("Unable to open the file " + SetupFile);
  CurrentVolume = 1;
  VolumeSize = 0;
  if (!PackageStream->Seek(kLocatorOffset)) DamagedDirect("package locator", kLocatorSize);
  const std::string loc = ReadDirectBytes(kLocatorSize, "package locator");
  const auto* l = reinterpret_cast<const uint8_t*>(loc.data());
  HeaderOffset = LoadI32(l);
  const uint32_t volumeSize = LoadU32(l + 20);
  if (HeaderOffset < 0 || static_cast<uint64_t>(HeaderOffset) > PackageStream->Size())
    throw ESetupException("The setup package is damaged: the package locator names header offset " +
                          std::to_string(HeaderOffset) + " outside the file " + SetupFile + ".");
  if (!PackageStream->Seek(static_cast<uint64_t>(HeaderOffset))) SeekFailed(HeaderOffset);
  const std::string hdr = ReadDirectBytes(kHeaderSize, "package header");
  const auto* h = reinterpret_cast<const uint8_t*>(hdr.data());
  std::copy_n(h, 5, Props.begin());
  const std::string bad = CheckLzmaProps(Props);
  if (!bad.empty()) throw ESetupException("The setup package is damaged: package header: " + bad + ".");
  FirstSection = LoadI32(h + 46);
  if (FirstSection < 0)
    throw ESetupException("The setup package is damaged: the package header names a negative first section "
                          "position.");
  VolumeSize = volumeSize;
  SeekPackage(FirstSection);
}

void TSetupPackage::ClosePackage() {
  PackageStream.reset();
  CurrentVolume = 0;
}

void TSetupPackage::OpenVolume(int volume) {
  PackageStream.reset();
  const std::string name = volume == 1 ? SetupFile : VolumeFileName(SetupFile, volume);
  while (!fs_.FileExists(name)) {
    const std::string text = FormatPattern(IString(kStrVolumePrompt), {volume});
    if (dialogs_.MessageBox(text, WindowCaption, MB_OK_) == IDNONE_)
      throw ESetupException(text, "volume file " + name + " is missing");
  }
  PackageStream = fs_.OpenRead(name);
  if (!PackageStream) throw ESetupException("Unable to open the file " + name);
  CurrentVolume = volume;
}

void TSetupPackage::SeekPackage(int64_t position) {
  if (position < 0)
    throw ESetupException("The setup package is damaged: negative package position " + std::to_string(position) +
                          ".");
  if (VolumeSize == 0) {
    if (!PackageStream) OpenVolume(1);
    if (!PackageStream->Seek(static_cast<uint64_t>(position))) SeekFailed(position);
    return;
  }
  const int64_t k = position / VolumeSize + 1;
  if (k > 1000000)
    throw ESetupException("The setup package is damaged: package position " + std::to_string(position) +
                          " lies in volume " + std::to_string(k) + ".");
  if (k != CurrentVolume || !PackageStream) OpenVolume(static_cast<int>(k));
  if (!PackageStream->Seek(static_cast<uint64_t>(position % VolumeSize))) SeekFailed(position);
}

// A position the file cannot even be positioned at; reading there must
// not quietly continue from wherever the file stood before.
void TSetupPackage::SeekFailed(int64_t position) const {
  throw ESetupException("The setup package is damaged: package position " + std::to_string(position) +
                        " runs past the end of the package file.");
}

int64_t TSetupPackage::Position() const {
  if (!PackageStream) return 0;
  const int64_t off = static_cast<int64_t>(PackageStream->Position());
  return VolumeSize ? static_cast<int64_t>(CurrentVolume - 1) * VolumeSize + off : off;
}

uint64_t TSetupPackage::DirectRemaining() const {
  if (!PackageStream) return 0;
  const uint64_t size = PackageStream->Size(), pos = PackageStream->Position();
  return pos < size ? size - pos : 0;
}

// ---------------------------------------------------------------- direct reads

void TSetupPackage::DamagedDirect(const char* what, size_t need) const {
  const std::string file = CurrentVolume > 1 ? VolumeFileName(SetupFile, CurrentVolume) : SetupFile;
  throw ESetupException("The setup package is damaged: " + std::string(what) + " (" + std::to_string(need) +
                        " bytes at package position " + std::to_string(Position()) + ") runs past the end of " +
                        file + ".");
}

std::string TSetupPackage::ReadDirectBytes(size_t n, const char* what) {
  if (!PackageStream) throw ESetupException("The setup package is not open.");
  if (n > DirectRemaining()) DamagedDirect(what, n);
  std::string s(n, '\0');
  if (PackageStream->Read(s.data(), n) != n) DamagedDirect(what, n);
  return s;
}

uint8_t TSetupPackage::ReadU8(const char* what) { return static_cast<uint8_t>(ReadDirectBytes(1, what)[0]); }
uint16_t TSetupPackage::ReadU16(const char* what) {
  return LoadU16(reinterpret_cast<const uint8_t*>(ReadDirectBytes(2, what).data()));
}
int32_t TSetupPackage::ReadI32(const char* what) {
  return LoadI32(reinterpret_cast<const uint8_t*>(ReadDirectBytes(4, what).data()));
}
int64_t TSetupPackage::ReadI64(const char* what) {
  return LoadI64(reinterpret_cast<const uint8_t*>(ReadDirectBytes(8, what).data()));
}
std::string TSetupPackage::ReadRaw(size_t n, const char* what) { return ReadDirectBytes(n, what); }

void TSetupPackage::SkipDirect(int64_t n, const char* what) {
  if (n < 0 || static_cast<uint64_t>(n) > DirectRemaining()) DamagedDirect(what, static_cast<size_t>(n < 0 ? 0 : n));
  PackageStream->Seek(PackageStream->Position() + static_cast<uint64_t>(n));
}

// ---------------------------------------------------------------- blocks

void TSetupPackage::ReadError(const std::string& fileName, const std::string& reason) const {
  throw ESetupException(FormatPattern(IString(kStrReadError), {fileName, PublisherWithAddress}), reason);
}

void TSetupPackage::ReadStoredRange(int64_t base, int64_t stored, int64_t size, const std::string& fileName,
                                    const uint32_t* crc, const ByteSink& sink, RangeForm form,
                                    TReadBuffers* buffers) {
  const std::string where = fileName + " (package position " + std::to_string(base) + ")";
  if (base < 0 || stored < 0 || size < 0)
    ReadError(fileName, where + ": negative position or size in the file tables");
  uint8_t* streamBuffer = nullptr;
  if (buffers && stored > 0) {
    if (!buffers->stream) buffers->stream.reset(new uint8_t[TSetupDataFileStream::kBufferSize]);
    streamBuffer = buffers->stream.get();
  }
  TSetupDataFileStream in(*this, base, stored, fileName, streamBuffer);
  uint32_t running = 0;
  auto out = [&](const uint8_t* d, size_t n) {
    if (crc) running = Crc32(d, n, running);
    sink(d, n);
  };
  try {
    const bool compressed = form == RangeForm::Compressed || (form == RangeForm::FileRule && stored != size);
    if (form == RangeForm::Raw && stored != size) throw ESetupException("the stored size differs from the size");
    if (compressed) {
      const ByteSource source = [&](uint8_t* b, size_t n) { return in.Read(b, n); };
      if (buffers)
        buffers->decoder.Decode(Props, static_cast<uint64_t>(stored), static_cast<uint64_t>(size), source, out);
      else
        LzmaDecode(Props, static_cast<uint64_t>(stored), static_cast<uint64_t>(size), source, out);
    } else {
      int64_t left = size;
      while (left > 0) {
        const auto [data, got] = in.Next(static_cast<size_t>(std::min<int64_t>(left, TSetupDataFileStream::kBufferSize)));
        if (got == 0) throw ESetupException("the stored data end early");
        out(data, got);
        left -= static_cast<int64_t>(got);
      }
    }
  } catch (const ESetupException& e) {
    ReadError(fileName, where + ": " + e.Reason());
  }
  if (crc && running != *crc)
    ReadError(fileName, where + ": CRC-32 " + HexU32(running) + " does not match the recorded " + HexU32(*crc));
}

static std::string ReadBlockContent(TSetupPackage& p, const char* what) {
  const int32_t s = p.ReadI32(what);
  if (s == 0) return {};
  if (s > 0) {
    const int32_t c = p.ReadI32(what);
    if (c < 0)
      throw ESetupException("The setup package is damaged: " + std::string(what) + " has a negative stored size " +
                            "at package position " + std::to_string(p.Position() - 4) + ".");
    if (s > kMaxBlockSize)
      throw ESetupException("The setup package is damaged: " + std::string(what) + " declares " +
                            std::to_string(s) + " bytes, more than a setup definition can hold.");
    const int64_t base = p.Position();
    std::string content;
    p.ReadStoredRange(
        base, c, s, what, nullptr,
        [&](const uint8_t* d, size_t n) { content.append(reinterpret_cast<const char*>(d), n); },
        TSetupPackage::RangeForm::Compressed);
    std::lock_guard<std::mutex> g(p.PackageLock);
    p.SeekPackage(base + c);
    return content;
  }
  const int64_t n = -static_cast<int64_t>(s);
  if (static_cast<uint64_t>(n) > p.DirectRemaining())
    throw ESetupException("The setup package is damaged: " + std::string(what) + " (" + std::to_string(n) +
                          " stored bytes at package position " + std::to_string(p.Position()) +
                          ") runs past the end of the package file.");
  return p.ReadRaw(static_cast<size_t>(n), what);
}

std::string TSetupPackage::ReadPackageString(const char* what) { return ReadBlockContent(*this, what); }

TDataStream TSetupPackage::ReadDataBlock(const char* what) { return TDataStream(ReadBlockContent(*this, what), what); }

// ---------------------------------------------------------------- support files

int TSetupPackage::ExtractSupportFile(const std::string& name) {
  std::string path = TempFolder + name;
  for (int n = 2; fs_.FileExists(path); ++n) path = InsertBeforeExt(TempFolder + name, std::to_string(n));
  const int index = static_cast<int>(TempFileNames.size());
  TempFileNames.push_back(name);
  TempFilePaths.push_back(path);
  TempFileSums.emplace_back();
  ExtractPackageFile(path, index, false);
  TempFilePaths[index] = path;
  return index;
}

void TSetupPackage::CheckAgainstTables(int index, uint64_t size, uint32_t crc, const std::string& fileName) const {
  const uint64_t want = static_cast<uint64_t>(Tables.FileSizes[index]);
  if (size != want)
    ReadError(fileName, fileName + ": " + std::to_string(size) + " bytes where the file tables record " +
                            std::to_string(want));
  if (crc != Tables.FileChecksums[index])
    ReadError(fileName, fileName + ": CRC-32 " + HexU32(crc) + " does not match the recorded " +
                            HexU32(Tables.FileChecksums[index]));
}

void TSetupPackage::CheckSupportFiles() const {
  for (size_t i = 0; i < TempFilePaths.size() && i < Tables.Count(); ++i)
    if (TempFilePaths[i] != "*")
      CheckAgainstTables(static_cast<int>(i), TempFileSums[i].size, TempFileSums[i].crc, TempFileNames[i]);
}

void TSetupPackage::SkipSupportFile(const std::string& name) {
  TempFileNames.push_back(name);
  TempFilePaths.push_back("*");
  TempFileSums.emplace_back();
  const int32_t c = ReadI32("support file record");
  if (c < 0)
    throw ESetupException("The setup package is damaged: support file " + name + " has a negative stored size.");
  SkipDirect(4, "support file record");
  if (VolumeSize == 0) {
    SkipDirect(c, "support file data");
    return;
  }
  // The data may run on into the next volume: the move goes through the
  // volume mapping like any package position, so the package reads alike
  // whether its support files are extracted or passed over.
  SeekPackage(Position() + c);
}

// ---------------------------------------------------------------- extraction

void TSetupPackage::ExtractPackageFile(std::string& target, int index, bool fallback, TReadBuffers* buffers,
                                       TStagingFolders* staging) {
  int64_t base, stored, size;
  const uint32_t* crc = nullptr;
  double fileTime = 0;
  const std::string fileName = ExtractFileName(target);
  if (TablesLoaded) {
    if (index < 0 || static_cast<size_t>(index) >= Tables.Count())
      ReadError(fileName, "data index " + std::to_string(index) + " is outside the file tables");
    base = Tables.FileOffsets[index];
    stored = Tables.FileStoredSizes[index];
    size = Tables.FileSizes[index];
    crc = &Tables.FileChecksums[index];
    fileTime = Tables.FileTimes[index];
    if (base < 0) ReadError(fileName, "data index " + std::to_string(index) + " has no data in the package");
  } else {
    stored = ReadI32("support file record");
    size = ReadI32("support file record");
    base = Position();
    if (stored < 0 || size < 0)
      throw ESetupException("The setup package is damaged: support file " + fileName +
                            " has a negative size at package position " + std::to_string(base - 8) + ".");
  }

  // A support file record is passed over whatever happens to its data, so
  // that the definition that follows is read from the right position.
  struct SkipRecord {
    TSetupPackage* p;
    int64_t end;
    ~SkipRecord() {
      if (!p) return;
      try {
        std::lock_guard<std::mutex> g(p->PackageLock);
        p->SeekPackage(end);
      } catch (...) {
      }
    }
  } skipRecord{TablesLoaded ? nullptr : this, TablesLoaded ? 0 : base + stored};

  std::string error, restartFrom;
  // A support file's CRC-32 is kept for the check once the tables are read.
  Extracted* sum = !TablesLoaded && static_cast<size_t>(index) < TempFileSums.size() ? &TempFileSums[index] : nullptr;
  const bool placed = WriteFileWhole(
      fs_, target,
      [&](IWriteFile& out) {
        bool written = true;
        ReadStoredRange(base, stored, size, fileName, crc, [&](const uint8_t* d, size_t n) {
          if (sum) {
            sum->crc = Crc32(d, n, sum->crc);
            sum->size += n;
          }
          if (written && !out.Write(d, n)) written = false;
        }, RangeForm::FileRule, buffers);
        if (TablesLoaded) out.SetLastWriteTime(fileTime);
        return written;
      },
      error, fallback ? &restartFrom : nullptr, staging);
  if (!placed) throw ESetupException(FormatPattern(IString(kStrCreateError), {target}) + "  (" + error + ")");
  if (!restartFrom.empty()) target = restartFrom;
}

// ---------------------------------------------------------------- data file stream

TSetupDataFileStream::TSetupDataFileStream(TSetupPackage& package, int64_t base, int64_t remaining,
                                           std::string fileName, uint8_t* buffer)
    : package_(package),
      own_(buffer ? nullptr
                  : new uint8_t[static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(remaining, 1), kBufferSize))]),
      buffer_(buffer ? buffer : own_.get()),
      fileName_(std::move(fileName)),
      base_(base),
      remaining_(remaining) {}

void TSetupDataFileStream::Refill() {
  const size_t chunk = static_cast<size_t>(std::min<int64_t>(remaining_, kBufferSize));
  std::lock_guard<std::mutex> g(package_.PackageLock);
  size_t filled = 0;
  const uint32_t v = package_.VolumeSize;
  // Fill the whole chunk, crossing into further volumes where the range
  // does; a volume that ends before its size is damaged, not a reason to
  // wait, so a short read is an error in every case.
  while (filled < chunk) {
    const int64_t pos = base_ + consumed_ + static_cast<int64_t>(filled);
    package_.SeekPackage(pos);
    size_t want = chunk - filled;
    if (v) want = static_cast<size_t>(std::min<int64_t>(want, v - pos % v));
    const size_t got = package_.PackageStream->Read(buffer_ + filled, want);
    if (got != want) {
      const std::string file = package_.CurrentVolume > 1
                                   ? VolumeFileName(package_.SetupFile, package_.CurrentVolume)
                                   : package_.SetupFile;
      throw ESetupException(std::to_string(want) + " bytes at package position " + std::to_string(pos) +
                            " run past the end of " + file);
    }
    filled += got;
  }
  bufferFill_ = filled;
  bufferPos_ = 0;
}

std::pair<const uint8_t*, size_t> TSetupDataFileStream::Next(size_t n) {
  if (static_cast<int64_t>(n) > remaining_) n = static_cast<size_t>(remaining_);
  if (n == 0) return {nullptr, 0};
  if (bufferPos_ >= bufferFill_) Refill();
  const size_t k = std::min(bufferFill_ - bufferPos_, n);
  const uint8_t* at = buffer_ + bufferPos_;
  bufferPos_ += k;
  consumed_ += static_cast<int64_t>(k);
  remaining_ -= static_cast<int64_t>(k);
  return {at, k};
}

size_t TSetupDataFileStream::Read(uint8_t* out, size_t n) {
  size_t copied = 0;
  for (std::pair<const uint8_t*, size_t> piece; (piece = Next(n - copied)).second > 0; copied += piece.second)
    std::copy_n(piece.first, piece.second, out + copied);
  return copied;
}

}  // namespace stw
