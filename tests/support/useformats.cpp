// Linked into every test program that reads or writes files in-process:
// hands the interface the list of formats before any test runs, as the
// programs do at start-up.
#include "drivers.h"

namespace {
const bool kFormatsInUse = (IffUseFormats(IfdFormats), true);
}  // namespace
