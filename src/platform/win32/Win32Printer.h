// The system's default printer through GDI. gdi32 and winspool are loaded
// from the system folder when first used, never imported (see
// win32::SystemRoutine).
#pragma once
#include <memory>
#include <string>

#include "platform/Printer.h"

namespace stw {

// Prints on the default printer as it is when a document begins. With
// `outputFile` every document is written to that file (the printer's
// driver output, e.g. PostScript) instead of the printer's port: tests
// need it, since a printer on the port FILE: would otherwise ask for a
// file name in a dialog. Empty: the port.
std::unique_ptr<IPrinter> CreateWin32Printer(const std::string& outputFile = {});

}  // namespace stw
