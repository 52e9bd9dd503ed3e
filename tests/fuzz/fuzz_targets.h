// Fuzz entry points. Each target is a plain function
//   int fuzz_<name>(const uint8_t *data, size_t size);
// that must survive any input: 0 when the input was handled (accepted or
// refused), non-zero when it found a broken property, which the libFuzzer
// wrapper turns into a crash. The same functions are called by the normal
// test suite (fuzz_replay_test) for every file of the seed corpus, built
// with g++ and without libFuzzer. vk_fuzz_targets lists every target; the
// build generates it from tests/fuzz/CMakeLists.txt.
//
// Entry points run on one thread; they may keep static buffers.
#ifndef TESTS_FUZZ_FUZZ_TARGETS_H
#define TESTS_FUZZ_FUZZ_TARGETS_H

#include <cstddef>
#include <cstdint>

typedef int (*vk_fuzz_entry_t)(const uint8_t *data, size_t size);

struct vk_fuzz_target_t {
  const char *name;  // also the folder of its seeds: tests/fuzz/corpus/<name>/
  vk_fuzz_entry_t entry;
};

extern const vk_fuzz_target_t vk_fuzz_targets[];
extern const int vk_fuzz_target_count;

#endif  // TESTS_FUZZ_FUZZ_TARGETS_H
