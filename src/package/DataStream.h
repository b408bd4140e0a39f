// Bounds-checked little-endian readers over bytes held in memory.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/Errors.h"

namespace stw {

// Typed little-endian loads; the caller has checked the bounds.
inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p)) | (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}
inline int32_t LoadI32(const uint8_t* p) { return static_cast<int32_t>(LoadU32(p)); }
inline int64_t LoadI64(const uint8_t* p) { return static_cast<int64_t>(LoadU64(p)); }
inline double LoadF64(const uint8_t* p) {
  const uint64_t u = LoadU64(p);
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

// An in-memory section of the package (a data block) with its readers.
// Every read is checked against the bytes that remain; a read past the end
// raises ESetupException naming the section and the offset.
class TDataStream {
 public:
  TDataStream() = default;
  TDataStream(std::string bytes, std::string what) : data_(std::move(bytes)), what_(std::move(what)) {}

  uint8_t ReadByte() { return *Take(1, "byte"); }
  uint16_t ReadWord() { return LoadU16(Take(2, "word")); }
  int32_t ReadInt() { return LoadI32(Take(4, "int")); }
  // An int count followed by that many bytes.
  std::string ReadBytes() {
    const int32_t n = ReadInt();
    if (n < 0) Fail("byte count", "negative count " + std::to_string(n));
    return std::string(reinterpret_cast<const char*>(Take(static_cast<size_t>(n), "bytes")), static_cast<size_t>(n));
  }
  // A word count followed by that many bytes of UTF-8.
  std::string ReadString() {
    const uint16_t n = ReadWord();
    return std::string(reinterpret_cast<const char*>(Take(n, "string")), n);
  }

  size_t Position() const { return pos_; }
  size_t Size() const { return data_.size(); }
  size_t Remaining() const { return data_.size() - pos_; }
  void SetPosition(size_t p) { pos_ = p <= data_.size() ? p : data_.size(); }
  const std::string& Bytes() const { return data_; }
  const std::string& What() const { return what_; }

  [[noreturn]] void Fail(const char* field, const std::string& detail) const {
    const std::string text = "The setup package is damaged: " + what_ + ", " + field + " at offset " +
                             std::to_string(pos_) + ": " + detail + ".";
    throw ESetupException(text);
  }

 private:
  const uint8_t* Take(size_t n, const char* field) {
    if (n > Remaining())
      Fail(field, std::to_string(n) + " bytes needed, " + std::to_string(Remaining()) + " left");
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data_.data()) + pos_;
    pos_ += n;
    return p;
  }

  std::string data_;
  std::string what_;
  size_t pos_ = 0;
};

}  // namespace stw
