// What the host agent's fuzz entries share (the replay test runs them all
// in one process, in any order): one private root folder, made on first use
// and removed at exit, that the root-directory seam points the kernel-file
// readers at; the agent's home below it (<root>/home, with data/); and one
// set of OS-layer operations (reports dropped, statvfs answered by the disk
// entry, NFS mounts scanned, the data path in that home).
#ifndef TESTS_FUZZ_FUZZ_HOST_ENV_H
#define TESTS_FUZZ_FUZZ_HOST_ENV_H

#include <string>
#include <string_view>

// The root folder; empty when it cannot be made (the entry then fails).
const std::string &fuzz_host_root();

// Installs the shared operations; every entry that needs them calls this
// first, since another entry may have run in between.
void fuzz_host_ops_install(void);

// Writes `content` to `rel` (starting with '/') below the root, making its
// folders. False, with a line on stderr, when it cannot.
bool fuzz_host_put_file(const std::string &rel, std::string_view content);

// Removes `rel` below the root, with everything in it.
void fuzz_host_remove(const char *rel);

#endif  // TESTS_FUZZ_FUZZ_HOST_ENV_H
