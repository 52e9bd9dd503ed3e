// THR_PACKAGE_MANAGER: the installed-package report on whole wall-clock
// seconds that are multiples of INTERVAL_INSTALLED_PACKAGE, and the lock
// that keeps its run apart from the one the server link makes after each
// handshake (both use the same package file).
#ifndef VOSK_HOST_AGENT_THR_PACKAGE_MANAGER_H
#define VOSK_HOST_AGENT_THR_PACKAGE_MANAGER_H

#include "pub_func.h"

extern host_tick_state_t g_package_tick;

// Runs the package collector under the package lock; `caller` names the
// thread in the log. Without the collector logs once that nothing is built.
// The collector's result, or 0.
int host_package_collect(const char *caller);

void *thr_package_manager(void *arg);

#endif  // VOSK_HOST_AGENT_THR_PACKAGE_MANAGER_H
