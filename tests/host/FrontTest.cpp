// The installer front: its command line, and how the builder moves a
// front program's PE headers behind the package locator. The PE images
// are made here byte by byte from the format, not by the builder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "builder/FrontImage.h"
#include "front/FrontCommand.h"
#include "package/Package.h"

#ifdef _WIN32
#include "platform/win32/Windows.h"

#include <shellapi.h>
#else
#include <sys/wait.h>

#include <cstdio>
#endif

using namespace stw;
using namespace stw::test;
using namespace stw::front;

namespace {

// ---------------------------------------------------------------- PE images

uint32_t Get32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b.at(at + i));
  return v;
}
uint32_t Get16(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b.at(at)) | static_cast<uint32_t>(static_cast<uint8_t>(b.at(at + 1))) << 8;
}
void Set32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<char>(v >> (8 * i));
}
void Set16(std::string& b, size_t at, uint32_t v) {
  b.at(at) = static_cast<char>(v);
  b.at(at + 1) = static_cast<char>(v >> 8);
}

struct PeLayout {
  bool plus = false;  // PE32+ (64-bit) instead of PE32
  uint32_t lfanew = 0x80;  // where MinGW puts the headers: on the locator
  int sections = 2;
  uint32_t sizeOfHeaders = 0x400;
  uint32_t firstRaw = 0x400;  // raw data of the first section; the second follows it
  uint16_t characteristics = 0;  // 0: an executable of the machine's kind
  size_t overlay = 300;  // bytes after the last section (a symbol table, say)
  unsigned seed = 1;
};

constexpr uint32_t kRawSize = 0x200;
uint32_t OptionalHeaderSize(bool plus) { return plus ? 240 : 224; }
uint32_t HeaderBlockSize(const PeLayout& s) { return 4 + 20 + OptionalHeaderSize(s.plus) + 40u * s.sections; }
size_t OptionalHeaderAt(uint32_t lfanew) { return lfanew + 24u; }
size_t DirectoryAt(const PeLayout& s, uint32_t lfanew, int index) {
  return OptionalHeaderAt(lfanew) + (s.plus ? 112 : 96) + 8u * index;
}

// A PE image as a linker lays it out: DOS header, a DOS stub up to
// e_lfanew, the signature, the file header, a full optional header with
// 16 data directories, the section table, zero padding to the first
// section's data, the sections' data and an overlay. Every header field
// that matters holds a value of its own, so a block copied wrongly shows.
std::string MakePe(const PeLayout& s) {
  const uint32_t optSize = OptionalHeaderSize(s.plus);
  const size_t end = s.firstRaw + static_cast<size_t>(s.sections) * kRawSize + s.overlay;
  std::string b(std::max<size_t>(end, s.lfanew + HeaderBlockSize(s)), '\0');
  b[0] = 'M', b[1] = 'Z';
  Set16(b, 2, 0x90);  // e_cblp and friends, as a linker writes them
  Set16(b, 4, 3);
  Set16(b, 8, 4);
  Set16(b, 0x18, 0x40);
  Set32(b, 60, s.lfanew);
  const std::string stub = "\x0e\x1f\xba\x0e\x00\xb4\x09\xcd\x21\xb8\x01\x4c\xcd\x21This program cannot be run in DOS mode.";
  for (size_t i = 64; i < s.lfanew; ++i) b[i] = stub[(i - 64) % stub.size()];

  size_t p = s.lfanew;
  b.replace(p, 4, std::string("PE\0\0", 4));
  p += 4;
  Set16(b, p, s.plus ? 0x8664 : 0x14C);
  Set16(b, p + 2, static_cast<uint32_t>(s.sections));
  Set32(b, p + 4, 0x5EED0000 + s.seed);  // time stamp
  Set16(b, p + 16, optSize);
  Set16(b, p + 18, s.characteristics ? s.characteristics : (s.plus ? 0x0022 : 0x0102));
  const size_t o = p + 20;
  Set16(b, o, s.plus ? 0x20B : 0x10B);
  b[o + 2] = 2, b[o + 3] = 38;  // linker version
  Set32(b, o + 4, kRawSize);  // size of code
  Set32(b, o + 16, 0x1010);  // entry point
  Set32(b, o + 20, 0x1000);  // base of code
  size_t q = o + 24;
  if (s.plus) {
    Set32(b, q, 0x40000000), Set32(b, q + 4, 0x1);  // image base 0x140000000
    q += 8;
  } else {
    Set32(b, q, 0x2000);  // base of data
    Set32(b, q + 4, 0x400000);
    q += 8;
  }
  Set32(b, q, 0x1000);  // section alignment
  Set32(b, q + 4, 0x200);  // file alignment
  Set16(b, q + 8, 6);  // OS version 6.1
  Set16(b, q + 10, 1);
  Set16(b, q + 16, 6);  // subsystem version
  Set32(b, q + 24, 0x1000 + 0x1000u * s.sections);  // size of image
  Set32(b, q + 28, s.sizeOfHeaders);
  Set32(b, q + 32, 0xC0FFEE00 + s.seed);  // CheckSum: must come out 0
  Set16(b, q + 36, 2);  // GUI
  Set16(b, q + 38, 0x8160);  // DllCharacteristics: NX, dynamic base, TS aware
  q += 40;
  const int wide = s.plus ? 8 : 4;
  for (int i = 0; i < 4; ++i) Set32(b, q + i * wide, 0x100000u >> i);  // stack and heap
  q += 4 * wide + 4;  // and the loader flags
  Set32(b, q, 16);
  q += 4;
  // Imports and resources in the second section, as data directories say.
  Set32(b, q + 8 * 1, 0x2000 + 0x10), Set32(b, q + 8 * 1 + 4, 0x28);
  Set32(b, q + 8 * 2, 0x2000 + 0x80), Set32(b, q + 8 * 2 + 4, 0x40);
  q += 16 * 8;
  EXPECT_EQ(q, o + optSize);
  static const char* const names[] = {".text", ".rdata", ".data", ".rsrc"};
  for (int i = 0; i < s.sections; ++i, q += 40) {
    b.replace(q, std::string(names[i % 4]).size(), names[i % 4]);
    Set32(b, q + 8, kRawSize - 16);  // virtual size
    Set32(b, q + 12, 0x1000 + 0x1000u * i);
    Set32(b, q + 16, kRawSize);
    Set32(b, q + 20, s.firstRaw + kRawSize * i);
    Set32(b, q + 36, i == 0 ? 0x60000020 : 0xC0000040);
  }
  const std::string data = RandomBytes(static_cast<size_t>(s.sections) * kRawSize + s.overlay, s.seed);
  b.replace(s.firstRaw, data.size(), data);
  return b;
}

// The 24 bytes of a locator with a header offset and a volume size.
std::string Locator(uint32_t headerAt, uint32_t volumeSize = 0) {
  std::string l(24, '\0');
  Set32(l, 0, headerAt);
  Set32(l, 20, volumeSize);
  return l;
}

// The same block as the input's, with the CheckSum field cleared.
std::string ExpectedBlock(const std::string& pe, const PeLayout& s) {
  std::string block = pe.substr(s.lfanew, HeaderBlockSize(s));
  Set32(block, 24 + 64, 0);
  return block;
}

// Reads the result as a loader would: e_lfanew, the signature, the file
// header's counts, the section table found through them, and each
// section's raw data through its own pointer.
void ExpectLoadable(const std::string& result, const std::string& original, const PeLayout& s) {
  const uint32_t pe = Get32(result, 60);
  ASSERT_EQ(pe, 152u);
  ASSERT_EQ(result.substr(pe, 4), std::string("PE\0\0", 4));
  EXPECT_EQ(Get16(result, pe + 4), s.plus ? 0x8664u : 0x14Cu);
  EXPECT_EQ(Get16(result, pe + 24), s.plus ? 0x20Bu : 0x10Bu);
  ASSERT_EQ(Get16(result, pe + 6), static_cast<uint32_t>(s.sections));
  const size_t table = pe + 24 + Get16(result, pe + 20);
  for (int i = 0; i < s.sections; ++i) {
    const size_t h = table + 40u * i;
    const uint32_t size = Get32(result, h + 16), at = Get32(result, h + 20);
    EXPECT_EQ(at, s.firstRaw + kRawSize * i);
    EXPECT_EQ(result.substr(at, size), original.substr(at, size)) << "section " << i;
  }
}

// ---------------------------------------------------------------- command line

TEST(FrontCommandTest, TheTailIsEverythingAfterArgumentZeroAsItCame) {
  EXPECT_EQ(ArgumentTail(LR"("C:\Down loads\demo.exe" /silent "/APPFOLDER" "C:\My Folder")"),
            LR"(/silent "/APPFOLDER" "C:\My Folder")");
  EXPECT_EQ(ArgumentTail(LR"(C:\demo.exe   /s  x )"), L"/s  x ");
  EXPECT_EQ(ArgumentTail(L"C:\\demo.exe\t\t-S"), L"-S");
  // A quoted argument 0 ends at its quote, even with no blank after it.
  EXPECT_EQ(ArgumentTail(LR"("C:\demo.exe"/s)"), L"/s");
  // An unquoted one ends at the first blank: its quotes are plain text.
  EXPECT_EQ(ArgumentTail(LR"(C:\a"b c.exe" /s)"), LR"(c.exe" /s)");
  EXPECT_EQ(ArgumentTail(LR"("C:\a b\demo.exe")"), L"");
  EXPECT_EQ(ArgumentTail(LR"("C:\a b\demo.exe /s)"), L"");  // no closing quote
  EXPECT_EQ(ArgumentTail(L"demo.exe"), L"");
  EXPECT_EQ(ArgumentTail(L""), L"");
  // Backslashes and quotes of the switches are not touched.
  EXPECT_EQ(ArgumentTail(LR"(x.exe "a\"b" c\\"d e" \\\"f)"), LR"("a\"b" c\\"d e" \\\"f)");
}

TEST(FrontCommandTest, ArgumentsSplitAsTheSystemSplitsThem) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ(SplitArguments(LR"(/silent "/APPFOLDER" "C:\My Folder")"), (V{L"/silent", L"/APPFOLDER", LR"(C:\My Folder)"}));
  EXPECT_EQ(SplitArguments(LR"(a"b c"d e)"), (V{L"ab cd", L"e"}));
  EXPECT_EQ(SplitArguments(LR"("a\"b" c\\"d e" \\\"f g\h)"), (V{LR"(a"b)", LR"(c\d e)", LR"(\"f)", LR"(g\h)"}));
  // Two quotes inside a quoted part: one quote, and the part ends there.
  EXPECT_EQ(SplitArguments(LR"("" "a""b" "x)"), (V{L"", LR"(a"b x)"}));
  EXPECT_EQ(SplitArguments(LR"("a""b c)"), (V{LR"(a"b)", L"c"}));
  EXPECT_EQ(SplitArguments(LR"("/s""" /x)"), (V{LR"(/s" /x)"}));
  EXPECT_EQ(SplitArguments(L" \t "), V{});
}

TEST(FrontCommandTest, OnlyTheSilentSwitchesKeepMessageBoxesAway) {
  for (const wchar_t* quiet : {L"/silent", L"/SILENT", L"-Silent", L"/s", L"-S", L"/x \"/silent\"",
                               L"/APPFOLDER \"C:\\a b\" /s", L"/suppressmsgboxes", L"\t-s\t"})
    EXPECT_TRUE(WantsNoMessageBox(quiet)) << quiet;
  for (const wchar_t* loud : {L"", L"silent", L"s", L"/silently", L"/sx", L"--silent", L"/", L"-",
                              L"/APPFOLDER \"C:\\s\"", L"\"/sil ent\"", L"/si"})
    EXPECT_FALSE(WantsNoMessageBox(loud)) << loud;
}

TEST(FrontCommandTest, TheSetupGetsItsPathTheInstallerAndTheTail) {
  EXPECT_EQ(SetupCommandLine(LR"(C:\T\stw0A\setup.exe)", LR"(C:\My Downloads\demo.exe)", LR"(/silent "/x y")"),
            LR"("C:\T\stw0A\setup.exe" "C:\My Downloads\demo.exe" /silent "/x y")");
  EXPECT_EQ(SetupCommandLine(L"s.exe", L"d.exe", L""), LR"("s.exe" "d.exe")");
  // Read back, the setup sees the installer as argument 1 and the user's
  // arguments unchanged after it.
  const std::wstring tail = LR"("/APPFOLDER" "C:\My Folder" a\\"b c" /s)";
  const std::wstring line = SetupCommandLine(LR"(C:\T\setup.exe)", LR"(C:\a b\demo.exe)", tail);
  std::vector<std::wstring> args = SplitArguments(ArgumentTail(line));
  ASSERT_EQ(args.size(), 5u);
  EXPECT_EQ(args[0], LR"(C:\a b\demo.exe)");
  EXPECT_EQ(std::vector<std::wstring>(args.begin() + 1, args.end()), SplitArguments(tail));
}

#ifdef _WIN32
// The system's own parser agrees on argument 0, on the arguments after it
// and so on what the setup receives.
TEST(FrontCommandTest, TheSystemParserAgrees) {
  for (const wchar_t* line :
       {LR"("C:\Down loads\demo.exe" /silent "/APPFOLDER" "C:\My Folder")", LR"(C:\demo.exe   /s  x )",
        LR"("C:\demo.exe"/s)", LR"(C:\a"b c.exe" /s)", LR"(x.exe "a\"b" c\\"d e" \\\"f g\h)", LR"(x.exe a"b c"d e)",
        LR"(x.exe "a""b" "x)", LR"(x.exe "a""b c)", LR"(x.exe "/s""" /x)", L"x.exe\t-S\t/q"}) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(line, &argc);
    ASSERT_NE(argv, nullptr);
    const std::vector<std::wstring> system(argv + 1, argv + argc);
    LocalFree(argv);
    EXPECT_EQ(SplitArguments(ArgumentTail(line)), system) << line;
    const std::wstring setupLine = SetupCommandLine(LR"(C:\T\setup.exe)", LR"(C:\a b\demo.exe)", ArgumentTail(line));
    argv = CommandLineToArgvW(setupLine.c_str(), &argc);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(static_cast<size_t>(argc), system.size() + 2) << setupLine;
    EXPECT_EQ(std::wstring(argv[0]), LR"(C:\T\setup.exe)");
    EXPECT_EQ(std::wstring(argv[1]), LR"(C:\a b\demo.exe)");
    EXPECT_EQ(std::vector<std::wstring>(argv + 2, argv + argc), system) << setupLine;
    LocalFree(argv);
  }
}
#endif

// ---------------------------------------------------------------- header move

class FrontImageTest : public ::testing::TestWithParam<bool> {};

TEST_P(FrontImageTest, TheHeaderBlockMovesBehindTheLocatorByteForByte) {
  PeLayout s;
  s.plus = GetParam();
  const std::string pe = MakePe(s);
  const std::string locator = Locator(static_cast<uint32_t>(pe.size()), 0x12345);
  const FrontLayout l = CheckFrontImage(pe);
  EXPECT_EQ(l.oldPeOffset, 0x80u);
  EXPECT_EQ(l.peOffset, 152u);
  EXPECT_EQ(l.headerBlockSize, HeaderBlockSize(s));
  EXPECT_EQ(l.pe32Plus, s.plus);
  EXPECT_EQ(l.firstRawData, 0x400u);

  const std::string out = PlaceLocatorInFront(pe, locator);
  ASSERT_EQ(out.size(), pe.size());
  EXPECT_EQ(Get32(out, 60), 152u);
  EXPECT_EQ(out.substr(0, 60), pe.substr(0, 60));  // the DOS header but e_lfanew
  EXPECT_EQ(out.substr(64, 64), pe.substr(64, 64));  // the DOS stub
  EXPECT_EQ(out.substr(128, 24), locator);
  EXPECT_EQ(out.substr(152, HeaderBlockSize(s)), ExpectedBlock(pe, s));
  EXPECT_EQ(Get32(out, OptionalHeaderAt(152) + 64), 0u);  // CheckSum
  // Behind the block only padding up to the first section, then the
  // sections and the overlay as they were.
  EXPECT_EQ(out.substr(152 + HeaderBlockSize(s), 0x400 - 152 - HeaderBlockSize(s)),
            std::string(0x400 - 152 - HeaderBlockSize(s), '\0'));
  EXPECT_EQ(out.substr(0x400), pe.substr(0x400));
  ExpectLoadable(out, pe, s);
  // The result is a front program again, with its headers where they are.
  EXPECT_EQ(CheckFrontImage(out).oldPeOffset, 152u);
}

TEST_P(FrontImageTest, HeadersBehindALongStubMoveForwardAndLeaveZeros) {
  // An MSVC-style file: a longer stub (and its "Rich" record) before the
  // headers at 0xF0; the block moves to 152 and its old tail is cleared.
  PeLayout s;
  s.plus = GetParam();
  s.lfanew = 0xF0;
  const std::string pe = MakePe(s);
  const std::string out = PlaceLocatorInFront(pe, Locator(static_cast<uint32_t>(pe.size())));
  const uint32_t block = HeaderBlockSize(s);
  EXPECT_EQ(out.substr(64, 64), pe.substr(64, 64));
  EXPECT_EQ(out.substr(128, 24), Locator(static_cast<uint32_t>(pe.size())));
  EXPECT_EQ(out.substr(152, block), ExpectedBlock(pe, s));
  EXPECT_EQ(out.substr(152 + block, 0xF0 - 152), std::string(0xF0 - 152, '\0'));
  EXPECT_EQ(out.substr(0xF0 + block), pe.substr(0xF0 + block));
  ExpectLoadable(out, pe, s);
}

TEST_P(FrontImageTest, HeadersRightBehindTheDosHeaderMoveBack) {
  PeLayout s;
  s.plus = GetParam();
  s.lfanew = 64;
  const std::string pe = MakePe(s);
  const std::string out = PlaceLocatorInFront(pe, Locator(static_cast<uint32_t>(pe.size())));
  EXPECT_EQ(out.substr(64, 64), std::string(64, '\0'));  // vacated
  EXPECT_EQ(out.substr(152, HeaderBlockSize(s)), ExpectedBlock(pe, s));
  ExpectLoadable(out, pe, s);
}

TEST_P(FrontImageTest, TheHeadersMayFillTheSpaceExactly) {
  // The block may end exactly at SizeOfHeaders and at the first section's
  // data, not one byte later.
  PeLayout s;
  s.plus = GetParam();
  s.sections = 1;
  const uint32_t end = 152 + HeaderBlockSize(s);
  s.sizeOfHeaders = end;
  EXPECT_NO_THROW(CheckFrontImage(MakePe(s)));
  s.sizeOfHeaders = end - 1;
  EXPECT_THROW(CheckFrontImage(MakePe(s)), ESetupException);
  s.sizeOfHeaders = 0x400;
  s.firstRaw = end;
  const std::string fits = MakePe(s);
  ExpectLoadable(PlaceLocatorInFront(fits, Locator(static_cast<uint32_t>(fits.size()))), fits, s);
  s.firstRaw = end - 1;
  EXPECT_THROW(CheckFrontImage(MakePe(s)), ESetupException);
}

INSTANTIATE_TEST_SUITE_P(Front, FrontImageTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? std::string("Pe32Plus") : std::string("Pe32"); });

// The refusal's text, or "" when the image was taken.
std::string Refusal(const std::string& image) {
  try {
    CheckFrontImage(image);
    return "";
  } catch (const ESetupException& e) {
    return e.what();
  }
}

TEST(FrontImageRefusalTest, WhatIsNoProgramIsRefusedWithTheReason) {
  const std::string good = MakePe(PeLayout{});
  EXPECT_EQ(Refusal(good), "");
  std::string b = good;
  b[0] = 'Z', b[1] = 'M';
  EXPECT_NE(Refusal(b).find("does not begin with a DOS header (\"MZ\")"), std::string::npos) << Refusal(b);
  EXPECT_NE(Refusal("MZ").find("\"MZ\""), std::string::npos);
  EXPECT_NE(Refusal(std::string(200, '\0')).find("\"MZ\""), std::string::npos);

  for (uint32_t lfanew : {0u, 32u, 63u, static_cast<uint32_t>(good.size()), static_cast<uint32_t>(good.size() - 10),
                          0xFFFFFFF0u}) {
    b = good;
    Set32(b, 60, lfanew);
    EXPECT_NE(Refusal(b).find("has e_lfanew " + std::to_string(lfanew) + ", which does not point at PE headers"),
              std::string::npos)
        << lfanew << ": " << Refusal(b);
  }
  b = good;
  b[0x81] = 'X';  // "PX\0\0"
  EXPECT_NE(Refusal(b).find("no PE signature at offset 128"), std::string::npos) << Refusal(b);
  b = good;
  Set16(b, OptionalHeaderAt(0x80), 0x107);  // a ROM image
  EXPECT_NE(Refusal(b).find("unknown kind (magic 0x107)"), std::string::npos) << Refusal(b);
  b = good;
  Set16(b, 0x80 + 4 + 2, 2000);  // more sections than the file holds
  EXPECT_NE(Refusal(b).find("runs past the end of the file"), std::string::npos) << Refusal(b);
  b = good;
  Set16(b, 0x80 + 4 + 16, 64);  // an optional header too short for PE32
  EXPECT_NE(Refusal(b).find("too short"), std::string::npos) << Refusal(b);
  PeLayout dll;
  dll.characteristics = 0x2102;
  EXPECT_NE(Refusal(MakePe(dll)).find("is not an executable program"), std::string::npos);
}

TEST(FrontImageRefusalTest, HeadersThatWouldNotFitAreRefused) {
  // 4 + 20 + 224 + 4 * 40 = 408 bytes, at 128 up to 536, at 152 up to 560:
  // room where they are, none behind the locator.
  PeLayout s;
  s.sections = 4;
  s.sizeOfHeaders = 544;
  const std::string r = Refusal(MakePe(s));
  EXPECT_NE(r.find("408 bytes of headers moved behind the package locator would end at offset 560, past its "
                   "SizeOfHeaders (544)"),
            std::string::npos)
      << r;
  s.sizeOfHeaders = 0x400;
  s.firstRaw = 544;
  const std::string raw = Refusal(MakePe(s));
  EXPECT_NE(raw.find("would end at offset 560, past the start of its first section's data (544)"), std::string::npos)
      << raw;
  // A section without raw data (uninitialised data) has no bytes to spare.
  s.firstRaw = 0x400;
  std::string bss = MakePe(s);
  Set32(bss, 0x80 + 24 + 224 + 16, 0);
  Set32(bss, 0x80 + 24 + 224 + 20, 0x100);
  EXPECT_EQ(Refusal(bss), "");
}

TEST(FrontImageRefusalTest, DataKeptInTheHeadersIsNotOverwritten) {
  PeLayout s;
  std::string b = MakePe(s);
  // Something right behind the section table, where the moved block's
  // last 24 bytes go.
  const size_t end = 0x80 + HeaderBlockSize(s);
  b[end + 23] = 1;
  EXPECT_NE(Refusal(b).find("keeps data at offset " + std::to_string(end + 23)), std::string::npos) << Refusal(b);
  b[end + 23] = 0;
  b[end + 24] = 1;  // beyond the moved block: harmless
  EXPECT_EQ(Refusal(b), "");
  // A directory inside the headers (bound imports live there).
  b = MakePe(s);
  Set32(b, DirectoryAt(s, 0x80, 11), 0x300);
  Set32(b, DirectoryAt(s, 0x80, 11) + 4, 0x20);
  EXPECT_NE(Refusal(b).find("bound import directory lies in its headers (RVA 0x300)"), std::string::npos)
      << Refusal(b);
  // A signed front: the certificate table names a file offset.
  b = MakePe(s);
  Set32(b, DirectoryAt(s, 0x80, 4), 0x800);
  Set32(b, DirectoryAt(s, 0x80, 4) + 4, 0x100);
  EXPECT_NE(Refusal(b).find("is signed"), std::string::npos) << Refusal(b);
}

// ---------------------------------------------------------------- builder

class FrontBuildTest : public ::testing::Test {
 protected:
  TestMachine m;
  std::string Build(PackageManifest man, const std::string& name = "demo.exe") {
    const std::string path = m.Work() + name;
    report = BuildPackage(man, m.Native(path));
    return path;
  }
  BuildReport report;
};

TEST_F(FrontBuildTest, ThePackageFollowsTheWholeFrontAndReadsBack) {
  for (bool plus : {false, true}) {
    PeLayout s;
    s.plus = plus;
    const std::string pe = MakePe(s);
    PackageManifest man = SampleManifest();
    man.front = pe;
    man.frontSize = 4000;  // a placeholder's size; a real front has its own
    const std::string file = Build(man);
    const std::string out = m.ReadFile(file);
    EXPECT_EQ(report.frontSize, pe.size());
    ASSERT_GT(out.size(), pe.size() + kHeaderSize);
    ExpectLoadable(out, pe, s);
    EXPECT_EQ(out.substr(152, HeaderBlockSize(s)), ExpectedBlock(pe, s));
    EXPECT_EQ(out.substr(0x400, pe.size() - 0x400), pe.substr(0x400));  // sections and overlay
    // The locator names the header at the front's end; the header names the
    // first section right behind itself.
    EXPECT_EQ(Get32(out, 128), pe.size());
    EXPECT_EQ(Get32(out, 148), 0u);  // one file
    EXPECT_EQ(Get32(out, pe.size() + 46), pe.size() + kHeaderSize);
    // The reader finds all of it through the locator.
    auto o = OpenAndRead(m, file);
    EXPECT_EQ(o->pkg.HeaderOffset, static_cast<int32_t>(pe.size()));
    EXPECT_EQ(o->def.ProductKey, "Test Product");
    EXPECT_EQ(o->def.Publisher, "Test Works");
    const int app = FindDataIndex(man, "app.exe");
    std::string target = m.Work() + "out\\app.exe";
    m.WriteFile(target, "old content");
    o->pkg.ExtractPackageFile(target, app, false);
    EXPECT_TRUE(m.ReadFile(target) == *man.files[app - o->pkg.TempFileNames.size()].content);
  }
}

TEST_F(FrontBuildTest, AFrontCountsInTheFirstVolume) {
  PackageManifest man = SampleManifest();
  man.front = MakePe(PeLayout{});
  man.volumeSize = 64 * 1024;
  const std::string file = Build(man);
  EXPECT_GT(report.volumes, 1);
  const std::string out = m.ReadFile(file);
  EXPECT_EQ(out.size(), man.volumeSize);
  EXPECT_EQ(Get32(out, 148), man.volumeSize);
  auto o = OpenAndRead(m, file);
  const int rnd = FindDataIndex(man, "random.bin");
  std::string target = m.Work() + "out\\random.bin";
  m.WriteFile(target, "old content");
  o->pkg.ExtractPackageFile(target, rnd, false);
  EXPECT_TRUE(m.ReadFile(target) == *man.files[rnd - o->pkg.TempFileNames.size()].content);
}

TEST_F(FrontBuildTest, ARefusedFrontWritesNothing) {
  PackageManifest man = SampleManifest();
  PeLayout s;
  s.sizeOfHeaders = 0x180;
  man.front = MakePe(s);
  EXPECT_THROW(Build(man), ESetupException);
  man.front = "MZ but nothing else";
  EXPECT_THROW(Build(man), ESetupException);
  EXPECT_EQ(m.List(m.Work()), std::vector<std::string>{});
}

TEST_F(FrontBuildTest, WithoutAFrontThePlaceholderStays) {
  const std::string file = Build(SampleManifest());
  const std::string out = m.ReadFile(file);
  EXPECT_EQ(out.substr(0, 39), "Stowa setup package front (placeholder)");
  EXPECT_EQ(Get32(out, 128), 512u);
  EXPECT_EQ(report.frontSize, 512u);
}

#ifdef STW_PAKBUILD
// ---------------------------------------------------------------- pakbuild

namespace fs = std::filesystem;

class FrontPakbuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = m.Native(m.Work());
    std::ofstream(dir + "/tiny.json") << R"({
  "publisher": "Tiny Works", "productKey": "Tiny", "version": "0.1", "releaseDate": "2024-02-29", "userType": 1,
  "folders": {"APPFOLDER": ["%PROGRAMFILES%\\Tiny", ""]},
  "files": [{"name": "tiny.exe", "text": "MZ tiny program", "compress": false}],
  "components": [{"name": "Main", "description": "",
                  "folders": [{"name": "%APPFOLDER%", "items": [{"file": "tiny.exe"}]}]}],
  "build": {"threads": 1}
})";
    pe = MakePe(layout);
    std::ofstream(dir + "/front.exe", std::ios::binary) << pe;
  }
  std::string Pakbuild() const { return std::string("env -u STW_FRONT ") + STW_PAKBUILD; }
  std::vector<std::string> Outputs() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().filename().string().rfind("out", 0) == 0) names.push_back(e.path().filename().string());
    return names;
  }
  void ExpectInstaller(const std::string& path) {
    const std::string out = m.ReadFile(m.Work() + path);
    ASSERT_GT(out.size(), pe.size());
    ExpectLoadable(out, pe, layout);
    EXPECT_EQ(Get32(out, 128), pe.size());
    auto o = OpenAndRead(m, m.Work() + path);
    EXPECT_EQ(o->def.ProductKey, "Tiny");
  }
  TestMachine m;
  std::string dir, pe;
  PeLayout layout;
};

TEST_F(FrontPakbuildTest, WithoutAFrontItSaysWhatIsMissingAndWritesNothing) {
  const auto [code, out] = RunCommand(Pakbuild() + " build '" + dir + "/tiny.json' '" + dir + "/out.exe'");
  EXPECT_EQ(code, 1) << out;
  EXPECT_NE(out.find("no installer front"), std::string::npos) << out;
  EXPECT_NE(out.find("--front FILE"), std::string::npos) << out;
  EXPECT_NE(out.find("STW_FRONT"), std::string::npos) << out;
  EXPECT_EQ(Outputs(), std::vector<std::string>{});
}

TEST_F(FrontPakbuildTest, TheFrontComesFromTheSwitchTheEnvironmentOrBesidePakbuild) {
  auto [code, out] = RunCommand(Pakbuild() + " build '" + dir + "/tiny.json' '" + dir + "/out1.exe' --front '" + dir +
                         "/front.exe'");
  ASSERT_EQ(code, 0) << out;
  EXPECT_NE(out.find("front: " + dir + "/front.exe"), std::string::npos) << out;
  ExpectInstaller("out1.exe");

  std::tie(code, out) =
      RunCommand("STW_FRONT='" + dir + "/front.exe' " + STW_PAKBUILD + " build '" + dir + "/tiny.json' '" + dir + "/out2.exe'");
  ASSERT_EQ(code, 0) << out;
  EXPECT_NE(out.find("(STW_FRONT)"), std::string::npos) << out;
  ExpectInstaller("out2.exe");

  // A release keeps pakbuild and front.exe side by side.
  fs::create_directories(dir + "/tools");
  fs::copy_file(STW_PAKBUILD, dir + "/tools/pakbuild");
  fs::copy_file(dir + "/front.exe", dir + "/tools/front.exe");
  std::tie(code, out) = RunCommand("STW_FRONT=/nonexistent '" + dir + "/tools/pakbuild' build '" + dir + "/tiny.json' '" +
                            dir + "/out3.exe'");
  ASSERT_EQ(code, 0) << out;
  EXPECT_NE(out.find("(beside pakbuild)"), std::string::npos) << out;
  ExpectInstaller("out3.exe");
}

TEST_F(FrontPakbuildTest, ABadFrontIsNamedAndNothingIsWritten) {
  std::ofstream(dir + "/bad.exe", std::ios::binary) << "#!/bin/sh\necho not a program\n";
  auto [code, out] =
      RunCommand(Pakbuild() + " build '" + dir + "/tiny.json' '" + dir + "/out.exe' --front '" + dir + "/bad.exe'");
  EXPECT_EQ(code, 1) << out;
  EXPECT_NE(out.find("\"MZ\""), std::string::npos) << out;
  EXPECT_NE(out.find(dir + "/bad.exe"), std::string::npos) << out;
  std::tie(code, out) =
      RunCommand(Pakbuild() + " build '" + dir + "/tiny.json' '" + dir + "/out.exe' --front '" + dir + "/missing.exe'");
  EXPECT_EQ(code, 1) << out;
  EXPECT_NE(out.find("cannot read the installer front " + dir + "/missing.exe"), std::string::npos) << out;
  EXPECT_EQ(Outputs(), std::vector<std::string>{});
}

TEST_F(FrontPakbuildTest, APlaceholderFrontIsWrittenOnlyWhenAskedFor) {
  const auto [code, out] =
      RunCommand(Pakbuild() + " build '" + dir + "/tiny.json' '" + dir + "/out.exe' --placeholder-front");
  ASSERT_EQ(code, 0) << out;
  EXPECT_NE(out.find("cannot run by itself"), std::string::npos) << out;
  const std::string file = m.ReadFile(m.Work() + "out.exe");
  EXPECT_EQ(file.substr(0, 5), "Stowa");
  auto o = OpenAndRead(m, m.Work() + "out.exe");
  EXPECT_EQ(o->def.ProductKey, "Tiny");
  // Both at once, or a switch without its file, is a usage error.
  EXPECT_EQ(RunCommand(Pakbuild() + " build '" + dir + "/tiny.json' '" + dir + "/out4.exe' --placeholder-front --front '" +
                dir + "/front.exe'")
                .first,
            2);
  EXPECT_EQ(RunCommand(Pakbuild() + " build '" + dir + "/tiny.json' '" + dir + "/out4.exe' --front").first, 2);
}
#endif

}  // namespace
