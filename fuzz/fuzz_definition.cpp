// Fuzzer of the setup definition: the input is a whole installer file. It
// is opened and its definition read to the end twice, once as an
// interactive run (support files extracted to the temporary folder) and
// once as a silent, portable run without desktop items, the two ways the
// startup takes different branches through the same bytes.
//
// ESetupException is the reader's answer to a damaged package and ends an
// attempt quietly. Anything else - a crash, a sanitizer report, another
// exception, a leak, a hang, an allocation beyond the limit or a broken
// promise checked in Harness.h - is a bug.
#include <cstddef>
#include <cstdint>

#include "Harness.h"

using namespace stw;
using namespace stw::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const bool unattended : {false, true}) {
    Machine m(data, size);
    TSetupReader::Options opt;
    opt.silent = unattended;
    opt.noDesktop = unattended;
    if (unattended) opt.params = {"/portable", "D:\\Portable"};
    bool complete = false;
    try {
      m.pkg.OpenPackage();
      TSetupReader(m.pkg, m.def).ReadWholeDefinition(opt);
      complete = true;
    } catch (const ESetupException&) {
    }
    if (complete) {
      CheckDefinition(m, opt);
      // A package that offers a portable installation honours the request
      // on the command line, folder included.
      if (unattended && m.def.PortableMode != 0)
        STW_EXPECT(m.def.PortableMode == 2 && m.def.PortableFolder == "D:\\Portable", m.def.PortableFolder);
    }
    CheckNoStrayTempFiles(m);
  }
  return 0;
}
