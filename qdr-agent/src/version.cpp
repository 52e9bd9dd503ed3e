#include "version.h"

#include <stdio.h>

namespace {

constexpr int kMajor = 1;
constexpr int kMinor = 0;
constexpr int kPatch = 1;
constexpr const char *kBuildSuffix = "-debug";
// Commit identifiers of the main, common and vklog trees; "0" in this build.
constexpr const char *kCommitMain = "0";
constexpr const char *kCommitCommon = "0";
constexpr const char *kCommitLog = "0";

struct version_texts {
  char version[64];
  char commit[64];
  char simple[160];
  char full[320];
};

// Built once on first use; function-local statics are initialised safely
// even when several threads ask at the same time.
const version_texts &texts() {
  static const version_texts v = [] {
    version_texts t{};
    snprintf(t.version, sizeof(t.version), "%d.%d.%d%s", kMajor, kMinor, kPatch, kBuildSuffix);
    snprintf(t.commit, sizeof(t.commit), "m:%s,ci:%s,ce:%s", kCommitMain, kCommitCommon,
             kCommitLog);
    snprintf(t.simple, sizeof(t.simple), "%s (%s)", t.version, t.commit);
    snprintf(t.full, sizeof(t.full),
             "vosk-qdr-agent - Network Device Monitoring Agent\nBuild on %s %s\nVersion %s\n",
             __DATE__, __TIME__, t.simple);
    return t;
  }();
  return v;
}

}  // namespace

const char *get_version_string(void) {
  return texts().version;
}
const char *get_full_commit_id(void) {
  return texts().commit;
}
const char *get_simple_version_string(void) {
  return texts().simple;
}
const char *get_full_version_string(void) {
  return texts().full;
}
