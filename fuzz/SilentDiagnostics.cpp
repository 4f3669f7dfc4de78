// Every fuzz target starts with the system's diagnostic lines switched off: nearly every odd
// input makes a parser print one, and printing them would take most of the time.
#include "foundation/Diagnostics.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    kr::showDiagnostics(false);
    return 0;
}
