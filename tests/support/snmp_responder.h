// A tiny, deliberately misbehaving SNMP v1/v2c agent for tests.
//
// A thread answers GET, GETNEXT and GETBULK requests on a loopback UDP port
// according to a chosen behaviour (names that repeat, go backwards or never
// end, endOfMibView carrying the name asked for, error statuses, reordered or
// missing GET answers, silence). Messages are encoded and decoded by hand
// (BER), so the helper does not depend on the SNMP library under test.
//
// The subtree it serves is kResponderRoot (1.3.6.1.4.1.99999.1); rows are
// kResponderRoot.<n> with INTEGER value n.
#ifndef TESTS_SUPPORT_SNMP_RESPONDER_H
#define TESTS_SUPPORT_SNMP_RESPONDER_H

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace vktest {

extern const std::vector<unsigned long> kResponderRoot;
extern const char *const kResponderRootText;  // ".1.3.6.1.4.1.99999.1"

enum class responder_mode {
  walk_ok,          // a proper table of `rows` rows, then a name past the subtree
  repeat_rows,      // every walk request is answered with rows 1..3 again
  same_name,        // every walk request is answered with the very name asked for
  end_of_mib_same,  // rows 1..5, then the name asked for with endOfMibView
  backwards,        // rows 5, 4, 3 in one answer
  endless,          // names that always advance, never leaving the subtree
  error_status,     // every answer carries error status genErr (5), index 1
  silent,           // never answers
  get_reordered,    // a GET is answered with its names rotated by one
  get_missing,      // a GET is answered without its second name
  get_long_text,    // a GET is answered with an OCTET STRING of `rows` 'x' characters a name
  one_row,          // walk_ok, but every answer holds one variable, whatever was asked
  too_big_packed,   // walk_ok, but a GETBULK of several names is answered tooBig (1)
};

struct snmp_responder {
  responder_mode mode = responder_mode::walk_ok;
  int rows = 10;  // rows of walk_ok
  int port = -1;
  std::atomic<int> requests{0};                // requests received
  std::atomic<long> last_max_repetitions{-1};  // of the last GETBULK received
  std::atomic<int> walk_delay_ms{0};           // each GETNEXT/GETBULK answered this late

  snmp_responder() = default;
  snmp_responder(const snmp_responder &) = delete;
  snmp_responder &operator=(const snmp_responder &) = delete;
  ~snmp_responder();

  // Binds 127.0.0.1 on a free port and starts the thread. False on failure.
  bool start(responder_mode m, int row_count = 10);
  // Stops and joins the thread (it polls its stop flag every 50 ms).
  void stop();

  // Internal.
  void run();
  int fd = -1;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

}  // namespace vktest

#endif  // TESTS_SUPPORT_SNMP_RESPONDER_H
