// Arbitrary discs fed to the import of an earlier session's ISO tree (see
// import_harness.h for the input's form).
#include "import_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return importfuzz::Run(data, size, false); }
