// The uninstaller's strict reader of the installation log: every record of
// a log as the setup writes it, and each way a log can leave that layout,
// refused with the line that is wrong.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "base/Text.h"
#include "uninstaller/UninstallLog.h"
#include "uninstaller/Uninstaller.h"

namespace stw::test {
namespace {

// A log with one of everything, line by line as the setup writes it.
std::vector<std::string> SampleLines() {
  return {"; Pakvestor Installation Log",
          "; Please do not delete or alter this file.",
          "; It is needed whenever you want to update or uninstall Test Works Test Product 2.5",
          "; It lists the files, registry values, file types and registrations",
          "; that this installation made, for the uninstaller and later setups.",
          "4",
          "ALL",
          "Test Works Test Product 2.5",
          "2026",
          "3",
          "7",
          "Test Works",
          "Test Product",
          "2.5",
          "Uninstall %s",
          "Do you want to remove %s?",
          "Removing %s",
          "%s was removed.",
          "Some items could not be removed.",
          "Cancelled.",
          "Restart to finish.",
          "\"C:\\Program Files\\Test Product\\app.exe\" --start",
          "3",
          "%APPFOLDER%",
          "Application folder",
          "C:\\Program Files\\Test Product",
          "%APPCOMMONFOLDER%",
          "Common files folder",
          "*C:\\Program Files\\Common Files\\Test Works\\",
          "%APPMENU%",
          "Start menu folder",
          "",
          "2",
          "Program",
          "SR",
          "Notes",
          "",
          "C:\\Program Files\\Test Product\\UnStowa.exe",
          "C:\\Program Files\\Test Product\\manual.hlp",
          "C:\\Program Files\\Test Product\\manual.gid",
          "C:\\Users\\tester\\Desktop\\Test Product.pif",
          "%%%",
          "HKEY_AUTO\\Software\\Test Works\t*",
          "HKEY_AUTO\\Software\\Test Works\tFolder",
          "HKEY_classes_root\\TestWorks.Thing\t(Default)",
          "HKEY_CURRENT_USER\t",
          "HKEY_USERS\\Software\\Test Works\tSeen",
          "HKEY_LOCAL_MACHINE\\Software\\Orvane\\Carrovit\tTest Product",
          "%%%",
          ".tst",
          "Old description",
          "Test document",
          "C:\\old.exe,1",
          "C:\\Program Files\\Test Product\\app.exe,4",
          "open",
          "C:\\old.exe %1",
          "\"C:\\Program Files\\Test Product\\app.exe\" \"%1\"",
          "print",
          "",
          "%",
          "%",
          ".fre",
          "",
          "Fresh type",
          "",
          "",
          "%",
          "%%%",
          "C:\\Program Files\\Test Product\\thing.tlb",
          "%%%"};
}

std::string Joined(const std::vector<std::string>& lines, const std::string& end = "\r\n") {
  std::string s;
  for (const std::string& l : lines) s += l + end;
  return s;
}

// The number of the line (1-based) that holds exactly `text`.
size_t LineOf(const std::vector<std::string>& lines, const std::string& text, size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i] == text) return i + 1;
  ADD_FAILURE() << "no line " << text;
  return 0;
}

// Parses, expecting a refusal at `line` whose text holds `words`.
void ExpectRefused(const std::string& content, size_t line, const std::string& words) {
  try {
    ParseUninstallLog(content);
    ADD_FAILURE() << "accepted a log that should be refused (" << words << ")";
  } catch (const ELogRefused& e) {
    EXPECT_EQ(e.Line(), line) << e.what();
    EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    if (line) {
      EXPECT_EQ(std::string(e.what()).rfind("line " + std::to_string(line) + ": ", 0), 0u) << e.what();
    }
  }
}

std::vector<std::string> Replaced(std::vector<std::string> lines, size_t lineNumber, const std::string& text) {
  lines.at(lineNumber - 1) = text;
  return lines;
}

std::vector<std::string> Inserted(std::vector<std::string> lines, size_t beforeLine, const std::string& text) {
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(beforeLine - 1), text);
  return lines;
}

TEST(UninstallLogTest, EveryRecordOfTheLogIsRead) {
  const TUninstallLog log = ParseUninstallLog(Joined(SampleLines()));
  EXPECT_EQ(log.UserType, 1);
  EXPECT_EQ(log.AppName, "Test Works Test Product 2.5");
  EXPECT_EQ(log.Year, 2026);
  EXPECT_EQ(log.Month, 3);
  EXPECT_EQ(log.Day, 7);
  EXPECT_EQ(log.Publisher, "Test Works");
  EXPECT_EQ(log.ProductKey, "Test Product");
  EXPECT_EQ(log.Version, "2.5");
  EXPECT_EQ(log.Text(61), "Uninstall %s");
  EXPECT_EQ(log.Text(62), "Do you want to remove %s?");
  EXPECT_EQ(log.Text(63), "Removing %s");
  EXPECT_EQ(log.Text(64), "%s was removed.");
  EXPECT_EQ(log.Text(65), "Some items could not be removed.");
  EXPECT_EQ(log.Text(66), "Cancelled.");
  EXPECT_EQ(log.Text(67), "Restart to finish.");
  EXPECT_EQ(log.Text(60), "");
  EXPECT_EQ(log.LaunchCommand, "\"C:\\Program Files\\Test Product\\app.exe\" --start");
  ASSERT_EQ(log.Folders.size(), 3u);
  EXPECT_EQ(log.Folders[0].Name, "%APPFOLDER%");
  EXPECT_EQ(log.Folders[0].Caption, "Application folder");
  EXPECT_EQ(log.Folders[0].Path, "C:\\Program Files\\Test Product");
  EXPECT_FALSE(log.Folders[0].Flag);
  EXPECT_EQ(log.Folders[1].Path, "C:\\Program Files\\Common Files\\Test Works");  // flag and backslash off
  EXPECT_TRUE(log.Folders[1].Flag);
  EXPECT_EQ(log.Folders[2].Name, "%APPMENU%");
  EXPECT_EQ(log.Folders[2].Path, "");
  ASSERT_EQ(log.Components.size(), 2u);
  EXPECT_EQ(log.Components[0].Name, "Program");
  EXPECT_TRUE(log.Components[0].Selected && log.Components[0].Required);
  EXPECT_EQ(log.Components[1].Name, "Notes");
  EXPECT_FALSE(log.Components[1].Selected || log.Components[1].Required);
  EXPECT_EQ(log.Files, (std::vector<std::string>{"C:\\Program Files\\Test Product\\UnStowa.exe",
                                                 "C:\\Program Files\\Test Product\\manual.hlp",
                                                 "C:\\Program Files\\Test Product\\manual.gid",
                                                 "C:\\Users\\tester\\Desktop\\Test Product.pif"}));
  ASSERT_EQ(log.Registry.size(), 6u);
  using E = TUninstallLog::RegistryEntry;
  EXPECT_EQ(log.Registry[0].Root, "HKEY_AUTO");
  EXPECT_EQ(log.Registry[0].Key, "Software\\Test Works");
  EXPECT_EQ(log.Registry[0].kind, E::WholeKey);
  EXPECT_EQ(log.Registry[0].Line, LineOf(SampleLines(), "HKEY_AUTO\\Software\\Test Works\t*"));
  EXPECT_EQ(log.Registry[1].kind, E::Value);
  EXPECT_EQ(log.Registry[1].Name, "Folder");
  EXPECT_EQ(log.Registry[2].Root, "HKEY_CLASSES_ROOT");  // any case in the log
  EXPECT_EQ(log.Registry[2].Key, "TestWorks.Thing");
  EXPECT_EQ(log.Registry[2].kind, E::DefaultValue);
  EXPECT_EQ(log.Registry[3].Root, "HKEY_CURRENT_USER");
  EXPECT_EQ(log.Registry[3].Key, "");
  EXPECT_EQ(log.Registry[3].kind, E::DefaultValue);  // an empty name is the unnamed value
  EXPECT_EQ(log.Registry[4].Root, "HKEY_USERS");
  EXPECT_EQ(log.Registry[5].Key, "Software\\Orvane\\Carrovit");
  EXPECT_EQ(log.Registry[5].Name, "Test Product");
  ASSERT_EQ(log.FileTypes.size(), 2u);
  const auto& t = log.FileTypes[0];
  EXPECT_EQ(t.Extension, ".tst");
  EXPECT_EQ(t.PreviousDescription, "Old description");
  EXPECT_EQ(t.Description, "Test document");
  EXPECT_EQ(t.PreviousIcon, "C:\\old.exe,1");
  EXPECT_EQ(t.Icon, "C:\\Program Files\\Test Product\\app.exe,4");
  ASSERT_EQ(t.Verbs.size(), 2u);
  EXPECT_EQ(t.Verbs[0].Name, "open");
  EXPECT_EQ(t.Verbs[0].PreviousCommand, "C:\\old.exe %1");
  EXPECT_EQ(t.Verbs[0].Command, "\"C:\\Program Files\\Test Product\\app.exe\" \"%1\"");
  // A command that is a lone "%" is read as the command, not as the end.
  EXPECT_EQ(t.Verbs[1].Name, "print");
  EXPECT_EQ(t.Verbs[1].PreviousCommand, "");
  EXPECT_EQ(t.Verbs[1].Command, "%");
  EXPECT_EQ(log.FileTypes[1].Extension, ".fre");
  EXPECT_TRUE(log.FileTypes[1].Verbs.empty());
  EXPECT_EQ(log.Registrations, std::vector<std::string>{"C:\\Program Files\\Test Product\\thing.tlb"});
}

TEST(UninstallLogTest, LineEndsByteOrderMarkAndUserTypes) {
  const std::vector<std::string> lines = SampleLines();
  EXPECT_EQ(ParseUninstallLog(Joined(lines, "\n")).Files.size(), 4u);
  // Without a line end after the last line, and with a byte-order mark.
  std::string noEnd = Joined(lines);
  noEnd.resize(noEnd.size() - 2);
  EXPECT_EQ(ParseUninstallLog("\xEF\xBB\xBF" + noEnd).Registrations.size(), 1u);
  const size_t userType = LineOf(lines, "ALL");
  EXPECT_EQ(ParseUninstallLog(Joined(Replaced(lines, userType, "CURRENT"))).UserType, 2);
  EXPECT_EQ(ParseUninstallLog(Joined(Replaced(lines, userType, "ADMIN"))).UserType, 6);
  EXPECT_EQ(ParseUninstallLog(Joined(Replaced(lines, userType, "anything"))).UserType, 1);
  // Empty lines after the last section are nothing.
  EXPECT_NO_THROW(ParseUninstallLog(Joined(lines) + "\r\n\r\n"));
}

TEST(UninstallLogTest, OnlyTheFormatTheSetupWritesIsRead) {
  const std::vector<std::string> lines = SampleLines();
  const size_t version = LineOf(lines, "4");
  ExpectRefused(Joined(Replaced(lines, version, "3")), version, "format 3; this uninstaller reads logs of format 4 only");
  ExpectRefused(Joined(Replaced(lines, version, "5")), version, "format 5");
  ExpectRefused(Joined(Replaced(lines, version, "four")), version, "expected the log format version");
  // The comments are only those lines that begin with ";".
  ExpectRefused(Joined(Inserted(lines, 3, "")), 3, "expected the log format version");
  ExpectRefused("", 0, "the log is empty");
}

TEST(UninstallLogTest, ALogCutShortAnywhereIsRefused) {
  const std::vector<std::string> lines = SampleLines();
  for (size_t keep = 0; keep < lines.size(); ++keep) {
    const std::vector<std::string> cut(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(keep));
    EXPECT_THROW(ParseUninstallLog(Joined(cut)), ELogRefused) << "cut after " << keep << " lines";
  }
  // The refusal names the line where more was expected.
  const std::vector<std::string> header(lines.begin(), lines.begin() + 10);
  ExpectRefused(Joined(header), 11, "the log ends where the day of the release was expected");
}

TEST(UninstallLogTest, CountsAreBelievedOnlyAsFarAsTheLinesGo) {
  const std::vector<std::string> lines = SampleLines();
  const size_t folders = LineOf(lines, "3", 20);
  ExpectRefused(Joined(Replaced(lines, folders, "99999")), folders, "99999 folder variables run past the end");
  ExpectRefused(Joined(Replaced(lines, folders, "999999999")), folders, "out of range");
  ExpectRefused(Joined(Replaced(lines, folders, "-1")), folders, "expected the number of folder variables");
  const size_t components = LineOf(lines, "2", folders);
  ExpectRefused(Joined(Replaced(lines, components, "40")), components, "40 components run past the end");
  // One folder fewer than counted shifts every record: the next one is
  // not what its place needs.
  ExpectRefused(Joined(Replaced(lines, folders, "2")), folders + 7, "expected the number of components");
}

TEST(UninstallLogTest, RecordsThatDoNotFitTheirPlaceAreRefused) {
  const std::vector<std::string> lines = SampleLines();
  auto refused = [&](const std::string& from, const std::string& to, const std::string& words) {
    const size_t n = LineOf(lines, from);
    ExpectRefused(Joined(Replaced(lines, n, to)), n, words);
  };
  refused("2026", "0", "is not a date");
  refused("7", "0", "is not a date");
  refused("Test Product", "Test\\Product", "cannot name a registry key");
  refused("Test Product", "", "cannot name a registry key");
  refused("%APPFOLDER%", "APPFOLDER", "is not the name of a folder variable");
  refused("SR", "X", "are none of");
  refused("C:\\Program Files\\Test Product", "Program Files\\Test Product", "is not a full local path");
  refused("HKEY_AUTO\\Software\\Test Works\tFolder", "HKEY_AUTO\\Software\\Test Works Folder", "has no tab");
  refused("HKEY_AUTO\\Software\\Test Works\tFolder", "HKEY_AUTO\\Software\\Test Works\tA\tB", "more than one tab");
  refused("HKEY_AUTO\\Software\\Test Works\tFolder", "HKEY_NOWHERE\\Software\tFolder", "names no known root");
  refused("HKEY_AUTO\\Software\\Test Works\tFolder", "HKEY_AUTO\\Software\\\\Test Works\tFolder", "empty part");
  refused("HKEY_AUTO\\Software\\Test Works\tFolder", "HKEY_AUTO\\Software\\\tFolder", "empty part");
  refused("HKEY_AUTO\\Software\\Test Works\t*", "HKEY_LOCAL_MACHINE\t*", "names a whole root");
  refused(".tst", "tst", "is not a file extension");
  refused(".tst", ".", "is not a file extension");
  refused(".tst", ".x\\..\\CLSID", "is not a file extension");
  refused("open", "open\\..\\..", "is not a verb of .tst");
  refused("C:\\Program Files\\Test Product\\thing.tlb", "thing.tlb", "is not a full local path");
}

// The last day of a month is a day; February 2026 has no 29th.
TEST(UninstallLogTest, DatesAreRealDates) {
  std::vector<std::string> lines = SampleLines();
  EXPECT_NO_THROW(ParseUninstallLog(Joined(Replaced(lines, LineOf(lines, "7"), "31"))));
  lines = Replaced(lines, LineOf(lines, "3", 8), "2");
  ExpectRefused(Joined(Replaced(lines, LineOf(lines, "7"), "29")), LineOf(lines, "7"), "is not a date");
}

TEST(UninstallLogTest, SectionsAndRecordsMustBeClosed) {
  const std::vector<std::string> lines = SampleLines();
  // The association record's closing "%" missing: its section end comes
  // where a verb may stand.
  std::vector<std::string> open = lines;
  const size_t close = LineOf(lines, "%", LineOf(lines, ".fre"));
  open.erase(open.begin() + static_cast<std::ptrdiff_t>(close - 1));
  ExpectRefused(Joined(open), close, "the association record of .fre has no closing \"%\"");
  // A record that ends before its five lines.
  std::vector<std::string> shortRecord(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(LineOf(lines, ".fre")));
  shortRecord.push_back("");
  shortRecord.push_back("%%%");
  ExpectRefused(Joined(shortRecord), shortRecord.size(), "ends before its description");
  // A verb without its two commands.
  std::vector<std::string> verb = lines;
  const size_t print = LineOf(lines, "print");
  verb[print] = "%%%";  // where the previous command stands
  ExpectRefused(Joined(verb), print + 1, "ends before its previous command");
  // The last section's end missing: the log ends where more was expected.
  std::vector<std::string> last = lines;
  last.pop_back();
  ExpectRefused(Joined(last), last.size() + 1, "the log ends where a registered file or the section's end");
  // Text after the last section.
  ExpectRefused(Joined(lines) + "C:\\extra.dll\r\n", lines.size() + 1, "text after the last section");
}

TEST(UninstallLogTest, HostilePathsAreRefusedWhereverAFullLocalPathIsExpected) {
  const std::vector<std::string> lines = SampleLines();
  const std::vector<std::pair<std::string, std::string>> paths = {
      {"manual.hlp", "is not a full local path"},
      {"\\Program Files\\x.dll", "is not a full local path"},
      {"C:x.dll", "is not a full local path"},
      {"C:\\", "is a drive's root"},
      {"C:\\Program Files\\Test Product\\..\\..\\Windows\\win.ini", "not a plain name (the name is a reference"},
      {"C:\\Program Files\\.\\x.dll", "not a plain name"},
      {"\\\\?\\C:\\Windows\\win.ini", "is not a full local path"},
      {"\\\\.\\PhysicalDrive0", "is not a full local path"},
      {"\\\\server\\share\\x.dll", "is not a full local path"},
      {"//server/share/x.dll", "is not a full local path"},
      {"C:\\Program Files\\\\x.dll", "has an empty part"},
      {"C:\\Program Files\\Test Product\\", "has an empty part"},
      {"C:\\Program Files/Test Product/x.dll", "not a plain name (the name contains a folder separator)"},
      {"C:\\Program Files\\x.dll:stream", "not a plain name (the name contains a colon)"},
      {"C:\\Program Files\\CON\\x.dll", "reserved device name"},
      {"C:\\Program Files\\nul.txt", "reserved device name"},
      {"C:\\Program Files\\x.dll.", "ends with a dot or a space"},
      {"C:\\Program Files\\x.dll ", "ends with a dot or a space"},
      {"C:\\Program Files\\a*b.dll", "does not allow"},
      {"C:\\Program Files\\x\tdll", "control character"},
  };
  const size_t file = LineOf(lines, "C:\\Program Files\\Test Product\\manual.hlp");
  const size_t registration = LineOf(lines, "C:\\Program Files\\Test Product\\thing.tlb");
  const size_t folder = LineOf(lines, "C:\\Program Files\\Test Product");
  for (const auto& [path, why] : paths) {
    ExpectRefused(Joined(Replaced(lines, file, path)), file, why);
    ExpectRefused(Joined(Replaced(lines, registration, path)), registration, why);
    // A folder variable may name a drive's root (it then vouches for no
    // folder) and carries no trailing backslash; anything else as above.
    if (path == "C:\\" || path == "C:\\Program Files\\Test Product\\") {
      EXPECT_NO_THROW(ParseUninstallLog(Joined(Replaced(lines, folder, path)))) << path;
    } else {
      ExpectRefused(Joined(Replaced(lines, folder, path)), folder, why);
    }
  }
}

TEST(UninstallLogTest, ControlCharactersAndBrokenTextAreRefused) {
  const std::vector<std::string> lines = SampleLines();
  const size_t file = LineOf(lines, "C:\\Program Files\\Test Product\\manual.hlp");
  auto with = [&](const std::string& line) { return Joined(Replaced(lines, file, line)); };
  std::string nul = "C:\\Program Files\\a";
  nul += '\0';
  ExpectRefused(with(nul + "b.dll"), file, "control character (code 0)");
  ExpectRefused(with("C:\\Program Files\\a\x01.dll"), file, "control character (code 1)");
  ExpectRefused(with("C:\\Program Files\\a\x7F.dll"), file, "control character (code 127)");
  ExpectRefused(with("C:\\Program Files\\a\rb.dll"), file, "control character (code 13)");
  ExpectRefused(with("C:\\Program Files\\\xC3\x28.dll"), file, "not UTF-8");  // a broken sequence
  ExpectRefused(with("C:\\Program Files\\\xC0\xAF.dll"), file, "not UTF-8");  // an overlong "/"
  ExpectRefused(with("C:\\Program Files\\\xED\xA0\x80.dll"), file, "not UTF-8");  // a surrogate
  ExpectRefused(with("C:\\Program Files\\\xF4\x90\x80\x80.dll"), file, "not UTF-8");  // above U+10FFFF
  // Proper UTF-8 is a path like any other.
  EXPECT_NO_THROW(ParseUninstallLog(with("C:\\Program Files\\Ma\xC3\xAFs \xE6\x97\xA5\xE6\x9C\xAC.dll")));
  // A tab in an application's texts is text; in the header's names too.
  EXPECT_NO_THROW(ParseUninstallLog(Joined(Replaced(lines, LineOf(lines, "Removing %s"), "Removing\t%s"))));
}

TEST(UninstallLogTest, ALogFileIsReadWholeOrRefused) {
  TestMachine m;
  const std::string path = m.Work() + "Stowa.log";
  m.WriteFile(path, Joined(SampleLines()));
  EXPECT_EQ(ReadUninstallLog(m.Fs(), path).ProductKey, "Test Product");
  EXPECT_THROW(ReadUninstallLog(m.Fs(), m.Work() + "missing.log"), ELogRefused);
  // A folder is no log.
  EXPECT_THROW(ReadUninstallLog(m.Fs(), m.Work().substr(0, m.Work().size() - 1)), ELogRefused);
}

TEST(UninstallLogTest, FullLocalPaths) {
  EXPECT_EQ(WhyNotFullLocalPath("C:\\Program Files\\Test Product\\app.exe"), "");
  EXPECT_EQ(WhyNotFullLocalPath("z:\\tmp"), "");
  EXPECT_EQ(WhyNotFullLocalPath("C:\\", true), "");
  EXPECT_EQ(WhyNotFullLocalPath("D:", true), "");
  EXPECT_NE(WhyNotFullLocalPath("D:"), "");
  EXPECT_NE(WhyNotFullLocalPath("1:\\x"), "");
  EXPECT_NE(WhyNotFullLocalPath(""), "");
}

TEST(UninstallLogTest, ALogsTextIsNeverAFormat) {
  EXPECT_EQ(FormatLogText("Uninstall %s", "My App"), "Uninstall My App");
  // Only the first %s; every other "%" stays as it stands.
  EXPECT_EQ(FormatLogText("%s: 100% %d %n %x %1 %% %s %", "A"), "A: 100% %d %n %x %1 %% %s %");
  EXPECT_EQ(FormatLogText("no placeholder %S", "A"), "no placeholder %S");
  EXPECT_EQ(FormatLogText("%s", "%s%d"), "%s%d");  // the value is not scanned again
}

}  // namespace
}  // namespace stw::test
