// Installs a printer for the tests: Wine's PostScript driver with the
// generic PPD that winspool.drv carries as a resource, on a given port
// (FILE:, or under Wine a Linux path that the printed documents go to),
// made the default printer. Shared by the driver program and the test
// binary; winspool.drv is loaded from the system folder, not imported.
#pragma once
#include <windows.h>
#include <winspool.h>

#include <string>
#include <type_traits>

namespace stwtest {

// "" when the printer is there and the default, else what failed.
inline std::wstring InstallPostScriptPrinter(const wchar_t* name, const std::wstring& port) {
  const auto failed = [](const wchar_t* what) { return std::wstring(what) + L" failed (error " + std::to_wstring(GetLastError()) + L")"; };
  wchar_t system[MAX_PATH + 1];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  const HMODULE spool = LoadLibraryExW((std::wstring(system, n) + L"\\winspool.drv").c_str(), nullptr, 0);
  if (!spool) return failed(L"loading winspool.drv");
  const auto get = [&](auto& fn, const char* routine) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(reinterpret_cast<void*>(GetProcAddress(spool, routine)));
    return fn != nullptr;
  };
  decltype(&::GetPrinterDriverDirectoryW) driverDirectory = nullptr;
  decltype(&::AddPrinterDriverW) addDriver = nullptr;
  decltype(&::AddPrinterW) addPrinter = nullptr;
  decltype(&::ClosePrinter) closePrinter = nullptr;
  decltype(&::SetDefaultPrinterW) setDefault = nullptr;
  if (!get(driverDirectory, "GetPrinterDriverDirectoryW") || !get(addDriver, "AddPrinterDriverW") ||
      !get(addPrinter, "AddPrinterW") || !get(closePrinter, "ClosePrinter") || !get(setDefault, "SetDefaultPrinterW"))
    return L"winspool.drv lacks a routine";

  // The driver's data file: the generic PPD.
  const HRSRC resource = FindResourceW(spool, MAKEINTRESOURCEW(1), L"PPDFILE");
  const HGLOBAL loaded = resource ? LoadResource(spool, resource) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  const DWORD size = resource ? SizeofResource(spool, resource) : 0;
  if (!bytes || size == 0) return L"winspool.drv has no PPD resource";
  wchar_t folder[MAX_PATH + 1]{};
  DWORD needed = 0;
  if (!driverDirectory(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(folder), sizeof folder, &needed))
    return failed(L"GetPrinterDriverDirectoryW");
  const std::wstring version3 = std::wstring(folder) + L"\\3";
  CreateDirectoryW(version3.c_str(), nullptr);  // may exist
  const HANDLE file = CreateFileW((version3 + L"\\generic.ppd").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return failed(L"writing generic.ppd");
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes, size, &written, nullptr);
  CloseHandle(file);
  if (!ok || written != size) return failed(L"writing generic.ppd");

  DRIVER_INFO_3W driver{};
  driver.cVersion = 3;
  driver.pName = const_cast<wchar_t*>(L"Wine PostScript Driver");
  driver.pDriverPath = const_cast<wchar_t*>(L"wineps.drv");
  driver.pDataFile = const_cast<wchar_t*>(L"generic.ppd");
  driver.pConfigFile = const_cast<wchar_t*>(L"wineps.drv");
  if (!addDriver(nullptr, 3, reinterpret_cast<BYTE*>(&driver)) &&
      GetLastError() != ERROR_PRINTER_DRIVER_ALREADY_INSTALLED)
    return failed(L"AddPrinterDriverW");

  PRINTER_INFO_2W info{};
  info.pPrinterName = const_cast<wchar_t*>(name);
  info.pPortName = const_cast<wchar_t*>(port.c_str());
  info.pDriverName = driver.pName;
  info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
  info.pDatatype = const_cast<wchar_t*>(L"RAW");
  info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
  const HANDLE printer = addPrinter(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (!printer && GetLastError() != ERROR_PRINTER_ALREADY_EXISTS) return failed(L"AddPrinterW");
  if (printer) closePrinter(printer);
  return setDefault(name) ? L"" : failed(L"SetDefaultPrinterW");
}

}  // namespace stwtest
