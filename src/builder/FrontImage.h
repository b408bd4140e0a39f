// The installer front in the builder: a Windows program whose headers are
// moved so that the package locator fits at its fixed offset.
//
// The setup finds its package through 24 bytes at offset 128 of the
// installer file, which is exactly where a MinGW or MSVC linker puts the PE
// signature. A PE file finds its headers through e_lfanew (offset 60) and
// they may lie anywhere before the first section's data, so the header
// block (signature, file header, optional header, section table) is moved
// behind the locator and e_lfanew pointed at it. Nothing else in the file
// refers to where the headers lie.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace stw {

struct FrontLayout {
  uint32_t oldPeOffset = 0;  // e_lfanew of the program as given
  uint32_t peOffset = 0;  // e_lfanew of the result
  uint32_t headerBlockSize = 0;  // signature through the end of the section table
  uint32_t sizeOfHeaders = 0;  // the optional header's SizeOfHeaders
  uint32_t firstRawData = 0;  // lowest PointerToRawData of a section with data (0: none)
  bool pe32Plus = false;
};

// Where the header block goes: the first 8-aligned offset behind the
// locator (128 + 24 = 152, which is aligned already).
uint32_t FrontHeaderOffset();

// Reads and checks the headers of a front program; throws ESetupException
// saying what is wrong with it (not a Windows program, e_lfanew outside
// the file, headers that would no longer fit before SizeOfHeaders or the
// first section's data, data kept inside the headers, a signature).
FrontLayout CheckFrontImage(std::string_view image);

// The front with its header block at FrontHeaderOffset(), e_lfanew set,
// the bytes the block left zeroed, the CheckSum field cleared (it would
// have to cover the package appended later, and only drivers and a few
// system files are checked by it) and the 24 bytes of `locator` at 128.
// The result has the size of the input: the package goes behind it.
std::string PlaceLocatorInFront(std::string image, std::string_view locator);

}  // namespace stw
