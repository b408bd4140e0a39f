// The tags and limits of the registry entries' stream, shared by the
// setup that applies it and the builder that writes and reads it back (the
// layout is described with ApplyRegistryData in engine/RegistryData.h).
#pragma once
#include <cstdint>

namespace stw::registry_stream {

enum : uint8_t {
  kTagRoot = 1,  // the only tag of the top level
  kTagSubkey = 1,
  kTagWholeKey = 2,
  kTagDefaultValue = 3,
  kTagValueName = 4,
  kTagKeepExisting = 5,
  kTagLogOnly = 6,
  kTagString = 7,
  kTagDword = 8,
  kTagBinary = 9,
  kTagEnd = 255,
};

// How deep keys may nest below their root; deeper is damage.
constexpr int kMaxKeyDepth = 64;

// The root names, in upper case as the log spells them (the stream may use
// any case).
constexpr const char* kAuto = "HKEY_AUTO";
constexpr const char* kClassesRoot = "HKEY_CLASSES_ROOT";
constexpr const char* kCurrentUser = "HKEY_CURRENT_USER";
constexpr const char* kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr const char* kUsers = "HKEY_USERS";
constexpr const char* kRoots[] = {kAuto, kClassesRoot, kCurrentUser, kLocalMachine, kUsers};

}  // namespace stw::registry_stream
