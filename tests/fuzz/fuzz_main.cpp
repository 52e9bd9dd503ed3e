// libFuzzer wrapper of one entry point; VK_FUZZ_ENTRY names it (set by
// tests/fuzz/CMakeLists.txt for each fuzz_<name> program).
#include <cstdlib>

#include "fuzz_targets.h"

int VK_FUZZ_ENTRY(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (VK_FUZZ_ENTRY(data, size) != 0) {
    abort();
  }
  return 0;
}
