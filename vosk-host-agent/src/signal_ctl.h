// Signal handling of the host agent.
//
// Handlers do only async-signal-safe work:
// - SIGINT and SIGTERM set g_stop_the_world and note the signal; the main
//   thread's tick (within 100 ms) logs it and ends the agent the way a
//   deleted pid file does (status 0).
// - SIGHUP is noted and logged by the main thread; the agent goes on.
// - SIGSEGV, SIGBUS and SIGABRT write the signal line and the breadcrumbs
//   with write(2) to standard error and to the log file (path captured
//   beforehand by signal_ctl_set_crash_log), then restore the default
//   action and re-raise, so the process ends by the signal (non-zero
//   status, core dump where enabled) and a supervisor sees the crash.
// - SIGALRM and SIGPIPE are ignored.
#ifndef VOSK_HOST_AGENT_SIGNAL_CTL_H
#define VOSK_HOST_AGENT_SIGNAL_CTL_H

// Installs the handlers above and the exit handler. 0, or -1 when a
// handler cannot be installed.
int initsignal(void);

// Captures the current log file path for the crash handler. Main thread.
void signal_ctl_set_crash_log(void);

// Logs what the handlers noted since the last call (SIGHUP, a stop
// signal). Returns the stop signal noted (0 for none). Main thread.
int signal_ctl_report(void);

// Logs the breadcrumbs of every thread that set one (error level).
void vk_debug_logging(void);

// Runs at exit: stops the threads, waits for them (at most 1 s), logs and
// prints "[exit_handler] terminated.".
void exit_handler(void);

#endif  // VOSK_HOST_AGENT_SIGNAL_CTL_H
