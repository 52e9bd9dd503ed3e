#include "vklog_version.h"

#include "vklog.h"

// The build system may pass the short commit hash of the build as
// VKLOG_COMMIT (a string literal); without it the texts say "unknown".
#ifndef VKLOG_COMMIT
#define VKLOG_COMMIT "unknown"
#endif

const char *vklog_get_version(void) {
  return "vklog library\nBuild on " __DATE__ " " __TIME__ "\nVersion " VKLOG_VERSION_NUMBER
         " (commit:" VKLOG_COMMIT ")";
}

const char *vklog_get_simple_version(void) {
  return "vklog " VKLOG_VERSION_NUMBER "(" VKLOG_COMMIT ")";
}
