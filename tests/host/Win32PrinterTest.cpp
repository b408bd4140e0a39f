// The text printer on a real spooler: a PostScript printer on the port
// FILE: is added to the running system (Wine's own PostScript driver with
// the generic PPD that winspool.drv carries as a resource), made the
// default, and a document printed through GDI into a file whose text is
// then read back.
//
// The printer stays for the rest of the session; so a test that needs a
// system without printers can only say something before it was added, and
// skips itself otherwise.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "base/Text.h"
#include "platform/win32/Win32Common.h"
#include "platform/win32/Win32Printer.h"
#include "platform/win32/Windows.h"
#include "ui/TextPrinter.h"
#include "../wine/TestPrinter.h"

#include <winspool.h>

#undef DrawText

using namespace stw;

namespace {

using win32::Narrow;
using win32::Wide;

const wchar_t kPrinterName[] = L"Stw Test File Printer";

// The spooler's list of printers, from winspool.drv in the system folder:
// the test program links no more system libraries than the setup does.
struct Spooler {
  HMODULE module = nullptr;
  decltype(&::EnumPrintersW) enumPrinters = nullptr;

  Spooler() {
    wchar_t folder[MAX_PATH + 1];
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    module =
        LoadLibraryExW((std::wstring(folder, n) + L"\\winspool.drv").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module)
      enumPrinters =
          reinterpret_cast<decltype(&::EnumPrintersW)>(reinterpret_cast<void*>(GetProcAddress(module, "EnumPrintersW")));
  }
  bool Ready() const { return enumPrinters != nullptr; }

  // The names of the printers the spooler lists, asked independently of
  // the code under test (level 1: name and description).
  std::vector<std::string> Printers() const {
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    DWORD needed = 0, count = 0;
    enumPrinters(flags, nullptr, 1, nullptr, 0, &needed, &count);
    if (needed == 0) return {};
    std::vector<BYTE> buffer(needed);
    if (!enumPrinters(flags, nullptr, 1, buffer.data(), needed, &needed, &count)) return {};
    std::vector<std::string> names;
    const auto* info = reinterpret_cast<const PRINTER_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) names.push_back(info[i].pName ? Narrow(info[i].pName) : "");
    return names;
  }
};

const Spooler& TheSpooler() {
  static const Spooler s;
  return s;
}

// Adds the file printer (unless it is there) and makes it the default;
// "" on success, else what failed.
std::string AddFilePrinter() { return Narrow(stwtest::InstallPostScriptPrinter(kPrinterName, L"FILE:")); }

std::string TempFile(const char* name) {
  wchar_t folder[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH, folder);
  return Narrow(std::wstring(folder, n)) + name + std::to_string(GetCurrentProcessId()) + ".ps";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(std::filesystem::path(Utf8ToUtf16(path)), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The texts of a PostScript file as Wine's driver writes them, page by
// page: every drawn text begins with a `moveto` and shows its characters
// one glyph at a time by name ("/Q glyphshow", "/space glyphshow"), with
// the glyphs' outlines downloaded in between.
std::vector<std::vector<std::string>> TextRuns(const std::string& ps) {
  static const char* const digits[] = {"zero", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine"};
  std::vector<std::vector<std::string>> pages;
  std::istringstream in(ps);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("%%Page: ")) {
      pages.emplace_back();
    } else if (!pages.empty() && line.ends_with(" moveto")) {
      pages.back().emplace_back();
    } else if (!pages.empty() && !pages.back().empty() && line.starts_with("/") && line.ends_with(" glyphshow")) {
      const std::string name = line.substr(1, line.size() - 1 - std::string(" glyphshow").size());
      std::string c = "?";
      if (name.size() == 1) c = name;
      if (name == "space") c = " ";
      for (int d = 0; d < 10; ++d)
        if (name == digits[d]) c = std::string(1, static_cast<char>('0' + d));
      pages.back().back() += c;
    }
  }
  return pages;
}

// A fresh system has no printer (the setup then hides its Print button).
// Once any test added one the question can no longer be asked here.
TEST(Win32Printer, NoPrinterOnASystemWithoutOne) {
  const Spooler& s = TheSpooler();
  ASSERT_TRUE(s.Ready());
  const auto before = s.Printers();
  if (!before.empty())
    GTEST_SKIP() << "the system has a printer already (" << before.front()
                 << "); only a session without one can show that none is found";
  const bool installed = CreateWin32Printer()->Installed();
  if (!s.Printers().empty()) GTEST_SKIP() << "a printer was added meanwhile by a test running alongside";
  EXPECT_FALSE(installed);
  // And the text printer refuses before it would start a job.
  auto printer = CreateWin32Printer();
  TTextPrinter text(*printer, "Stw");
  EXPECT_FALSE(text.PrinterInstalled());
  EXPECT_THROW(text.Print({"x"}, ""), EPrinterError);
}

TEST(Win32Printer, PrintsTextIntoAPostScriptFile) {
  const std::string failure = AddFilePrinter();
  ASSERT_EQ(failure, "") << "the file printer could not be set up";
  const std::string output = TempFile("stw-print-");
  DeleteFileW(Wide(output).c_str());

  auto printer = CreateWin32Printer(output);
  EXPECT_TRUE(printer->Installed());
  TTextPrinter text(*printer, "Stw Test");
  text.Header = "Page %P of %N";
  // Enough lines for two pages (the generic PPD's page holds about 60 at
  // 10 points with one-inch margins), so the page break is printed too.
  std::vector<std::string> lines{"Licence agreement", "Quokka\tzebra", "the last word"};
  for (int i = 0; i < 70; ++i) lines.push_back("filler line " + std::to_string(i));
  lines.push_back("Final paragraph");
  text.Print(lines, "Licence");

  const std::string ps = ReadAll(output);
  ASSERT_FALSE(ps.empty()) << "nothing was written to " << output;
  EXPECT_TRUE(ps.starts_with("%!PS-Adobe")) << ps.substr(0, 80);
  // The job's title is the document's title in the PostScript comments.
  EXPECT_NE(ps.find("%%Title: Stw Test - Licence"), std::string::npos);
  EXPECT_NE(ps.find("%%Pages: 2"), std::string::npos) << "expected two pages";

  const std::vector<std::vector<std::string>> pages = TextRuns(ps);
  ASSERT_EQ(pages.size(), 2u);
  ASSERT_FALSE(pages[0].empty());
  ASSERT_FALSE(pages[1].empty());
  EXPECT_EQ(pages[0].front(), "Page 1 of 2");
  EXPECT_EQ(pages[1].front(), "Page 2 of 2");
  // The body, in order over both pages, tabs expanded ("Quokka" ends at
  // column 6, so the tab at column 7 becomes 2 spaces).
  std::vector<std::string> body(pages[0].begin() + 1, pages[0].end());
  body.insert(body.end(), pages[1].begin() + 1, pages[1].end());
  std::vector<std::string> expected = lines;
  expected[1] = "Quokka  zebra";
  EXPECT_EQ(body, expected);
  // Kept for a look when a check failed.
  if (!HasFailure()) DeleteFileW(Wide(output).c_str());
}

TEST(Win32Printer, AnAbortedRunLeavesNoDocument) {
  const std::string failure = AddFilePrinter();
  ASSERT_EQ(failure, "") << "the file printer could not be set up";
  const std::string output = TempFile("stw-abort-");
  DeleteFileW(Wide(output).c_str());
  auto printer = CreateWin32Printer(output);
  TTextPrinter text(*printer, "Stw Test");
  int pages = 0;
  text.OnConfirm = [&](TTextPrinter&, bool& abort, int n) {
    pages = n;
    abort = true;
  };
  EXPECT_THROW(text.Print({"never printed"}, ""), EPrintAborted);
  EXPECT_EQ(pages, 1);
  // An aborted document leaves at most the driver's preamble, never text.
  const std::string ps = ReadAll(output);
  DeleteFileW(Wide(output).c_str());
  for (const auto& page : TextRuns(ps)) EXPECT_TRUE(page.empty()) << page.front();
}

}  // namespace
