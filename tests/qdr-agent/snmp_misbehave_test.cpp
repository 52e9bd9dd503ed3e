// The session manager against a misbehaving device of our own (a thread
// answering SNMP on loopback): walks that never advance, go backwards or
// never end must stop; GET answers in another order or with names missing
// must land on the right entries; error statuses and silence must fail
// cleanly with the counters moving as they should.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "snmp_manager.h"
#include "snmp_responder.h"
#include "snmp_test_env.h"

namespace {

using snmptest::open_session;
using snmptest::perf_delta;
using snmptest::perf_now;
using snmptest::response_list;
using vktest::responder_mode;

const auto *const g_env =
    ::testing::AddGlobalTestEnvironment(new snmptest::library_env(/*agent_output=*/true));

constexpr long kTimeoutUs = 100000;
constexpr int kRetries = 1;

// A responder and a session to it.
struct rig {
  vktest::snmp_responder responder;
  open_session s;

  bool start(responder_mode mode, int rows = 10, int version = SNMP_VERSION_2c) {
    if (!responder.start(mode, rows)) return false;
    if (sm_set_snmp_info(&s.info, "127.0.0.1", static_cast<uint16_t>(responder.port), version,
                         kTimeoutUs, kRetries, "public") != 0) {
      return false;
    }
    return s.open();
  }
};

// Walks the responder's subtree; returns the result and fills `rows` with
// the INTEGER values (the row numbers) in chain order.
int walk(rig *r, std::vector<long> *rows, int repetitions = 0) {
  response_list rl;
  sm_response_list_add(&rl.list, "table", 0, vktest::kResponderRootText);
  int ret = sm_bulk_request_multiple(r->s.fd, repetitions, &rl.list, &r->s.err);
  for (netsnmp_variable_list *v = rl.at(0)->variables; v != nullptr; v = v->next_variable) {
    rows->push_back(v->type == ASN_INTEGER ? *v->val.integer : -1);
  }
  return ret;
}

std::vector<long> range(long from, long to) {
  std::vector<long> out;
  for (long i = from; i <= to; i++) out.push_back(i);
  return out;
}

TEST(SnmpWalk, ProperTableIsWalkedInRequestsOfEightyRows) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::walk_ok, 200));
  std::vector<long> rows;
  snmp_perf before = perf_now();
  EXPECT_EQ(walk(&r, &rows), 0);
  EXPECT_EQ(rows, range(1, 200));
  EXPECT_EQ(r.responder.last_max_repetitions.load(), 80);
  EXPECT_EQ(r.responder.requests.load(), 3);  // 80 + 80 + 40 rows, the last answer leaves
  snmp_perf d = perf_delta(before);
  EXPECT_EQ(d.request, 3u);
  EXPECT_EQ(d.response, 3u);
}

TEST(SnmpWalk, GivenRepetitionsAreUsed) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::walk_ok, 25));
  std::vector<long> rows;
  EXPECT_EQ(walk(&r, &rows, 10), 0);
  EXPECT_EQ(rows, range(1, 25));
  EXPECT_EQ(r.responder.last_max_repetitions.load(), 10);
  EXPECT_EQ(r.responder.requests.load(), 3);
}

TEST(SnmpWalk, V1SessionWalksWithGetNext) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::walk_ok, 10, SNMP_VERSION_1));
  std::vector<long> rows;
  EXPECT_EQ(walk(&r, &rows), 0);
  EXPECT_EQ(rows, range(1, 10));
  EXPECT_EQ(r.responder.requests.load(), 11);
  EXPECT_EQ(r.responder.last_max_repetitions.load(), -1);  // no GETBULK was sent
}

TEST(SnmpWalk, RepeatedRowsEndTheWalk) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::repeat_rows));
  std::vector<long> rows;
  EXPECT_EQ(walk(&r, &rows), 0);
  EXPECT_EQ(rows, range(1, 3));
  EXPECT_EQ(r.responder.requests.load(), 2);
}

TEST(SnmpWalk, AnswerWithTheNameAskedForEndsTheWalk) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::same_name));
  std::vector<long> rows;
  EXPECT_EQ(walk(&r, &rows), 0);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(r.responder.requests.load(), 1);
}

TEST(SnmpWalk, EndOfMibViewCarryingTheLastNameEndsTheWalk) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::end_of_mib_same));
  std::vector<long> rows;
  EXPECT_EQ(walk(&r, &rows), 0);
  EXPECT_EQ(rows, range(1, 5));  // the exception value is not kept
  EXPECT_EQ(r.responder.requests.load(), 2);
}

TEST(SnmpWalk, NamesGoingBackwardsEndTheWalk) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::backwards));
  std::vector<long> rows;
  EXPECT_EQ(walk(&r, &rows), 0);
  EXPECT_EQ(rows, std::vector<long>{5});
  EXPECT_EQ(r.responder.requests.load(), 1);
}

TEST(SnmpWalk, EndlessTableStopsAtTheVariableLimit) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::endless));
  sm_set_bulk_variable_limit(500);
  std::vector<long> rows;
  int ret = walk(&r, &rows);
  sm_set_bulk_variable_limit(0);
  EXPECT_EQ(ret, SM_ERR_WALK_LIMIT);
  EXPECT_EQ(rows, range(1, 560));  // whole answers of 80 until the limit is passed
  EXPECT_EQ(r.responder.requests.load(), 7);
  char text[128];
  size_t len = sizeof(text);
  sm_get_error_message(ret, nullptr, text, &len);
  EXPECT_STREQ(text, "(func:walk variable limit reached)");
}

// A device whose answers hold less than a row of the subtrees walked side
// by side (its size limit): each subtree is then walked on its own, and
// every one gets all its rows.
// The same for a device that answers such a request tooBig instead of
// cutting its answer: no error is counted.
TEST(SnmpWalk, AnswersShorterThanARowOrTooBigLeaveEachSubtreeToItsOwnWalk) {
  for (auto [mode, requests] : {std::pair{responder_mode::one_row, 1 + 2 * 5},
                                std::pair{responder_mode::too_big_packed, 1 + 2}}) {
    SCOPED_TRACE(static_cast<int>(mode));
    rig r;
    ASSERT_TRUE(r.start(mode, 4));
    response_list rl;
    sm_response_list_add(&rl.list, "first", 0, vktest::kResponderRootText);
    sm_response_list_add(&rl.list, "second", 0, vktest::kResponderRootText);
    snmp_perf before = perf_now();
    EXPECT_EQ(sm_bulk_request_multiple(r.s.fd, 0, &rl.list, &r.s.err), 0);
    for (size_t i = 0; i < 2; i++) {
      std::vector<long> rows;
      for (netsnmp_variable_list *v = rl.at(i)->variables; v != nullptr; v = v->next_variable) {
        rows.push_back(*v->val.integer);
      }
      EXPECT_EQ(rows, range(1, 4)) << i;
    }
    // One packed request, then each subtree's own walk: a row an answer and
    // the answer that leaves, or all four rows and the names past them in one.
    EXPECT_EQ(r.responder.requests.load(), requests);
    snmp_perf d = perf_delta(before);
    EXPECT_EQ(d.response_error, 0u);
    EXPECT_EQ(d.request_error, 0u);
  }
}

TEST(SnmpWalk, ErrorStatusFailsAndStopsTheFollowingEntries) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::error_status));
  response_list rl;
  sm_response_list_add(&rl.list, "first", 0, vktest::kResponderRootText);
  sm_response_list_add(&rl.list, "second", 0, ".1.3.6.1.4.1.99999.2");
  snmp_perf before = perf_now();
  EXPECT_EQ(sm_bulk_request_multiple(r.s.fd, 0, &rl.list, &r.s.err), SM_ERR_RESPONSE_STAT);
  EXPECT_EQ(r.responder.requests.load(), 1);
  EXPECT_EQ(r.s.err.response_errstat, SNMP_ERR_GENERR);
  char text[128];
  size_t len = sizeof(text);
  sm_get_error_message(SM_ERR_RESPONSE_STAT, &r.s.err, text, &len);
  EXPECT_STREQ(text, "generic from response");
  snmp_perf d = perf_delta(before);
  EXPECT_EQ(d.request, 1u);
  EXPECT_EQ(d.response_error, 1u);
  EXPECT_EQ(d.response, 0u);
  EXPECT_EQ(rl.at(0)->variables, nullptr);
}

TEST(SnmpWalk, SilenceKeepsWhatWasCollectedAndTimesOut) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::silent));
  std::vector<long> rows;
  snmp_perf before = perf_now();
  EXPECT_EQ(walk(&r, &rows), SM_ERR_RESPONSE);
  EXPECT_EQ(r.s.err.sess_status, STAT_TIMEOUT);
  EXPECT_EQ(r.responder.requests.load(), 1 + kRetries);
  snmp_perf d = perf_delta(before);
  EXPECT_EQ(d.request, 1u);
  EXPECT_EQ(d.request_error, 1u);
}

TEST(SnmpGet, AnswerInAnotherOrderGivesEachEntryItsOwnValue) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::get_reordered));
  response_list rl;
  sm_response_list_add(&rl.list, "a", 0, ".1.3.6.1.4.1.99999.1.11");
  sm_response_list_add(&rl.list, "b", 0, ".1.3.6.1.4.1.99999.1.12");
  sm_response_list_add(&rl.list, "c", 0, ".1.3.6.1.4.1.99999.1.13");
  ASSERT_EQ(sm_get_request(r.s.fd, &rl.list, &r.s.err), 0);
  for (size_t i = 0; i < 3; i++) {
    snmp_response_data *e = rl.at(i);
    ASSERT_NE(e->variables, nullptr) << i;
    EXPECT_EQ(snmptest::chain_length(e->variables), 1u);
    EXPECT_EQ(*e->variables->val.integer, static_cast<long>(11 + i));
    EXPECT_EQ(e->is_snmp_no_res, 0);
  }
}

TEST(SnmpGet, AnswerMissingANameMarksOnlyThatEntry) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::get_missing));
  response_list rl;
  sm_response_list_add(&rl.list, "a", 0, ".1.3.6.1.4.1.99999.1.11");
  sm_response_list_add(&rl.list, "b", 0, ".1.3.6.1.4.1.99999.1.12");
  sm_response_list_add(&rl.list, "c", 0, ".1.3.6.1.4.1.99999.1.13");
  ASSERT_EQ(sm_get_request(r.s.fd, &rl.list, &r.s.err), 0);
  EXPECT_EQ(rl.at(1)->is_snmp_no_res, 1);
  EXPECT_EQ(rl.at(1)->variables, nullptr);
  ASSERT_NE(rl.at(0)->variables, nullptr);
  ASSERT_NE(rl.at(2)->variables, nullptr);
  EXPECT_EQ(*rl.at(0)->variables->val.integer, 11);
  EXPECT_EQ(*rl.at(2)->variables->val.integer, 13);
}

TEST(SnmpGet, RepeatedGetOnTheSameListReplacesTheValues) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::walk_ok));
  response_list rl;
  sm_response_list_add(&rl.list, "a", 0, ".1.3.6.1.4.1.99999.1.7");
  ASSERT_EQ(sm_get_request(r.s.fd, &rl.list, &r.s.err), 0);
  ASSERT_EQ(sm_get_request(r.s.fd, &rl.list, &r.s.err), 0);
  EXPECT_EQ(snmptest::chain_length(rl.at(0)->variables), 1u);
}

TEST(SnmpGet, ErrorStatusGivesNoValues) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::error_status));
  response_list rl;
  sm_response_list_add(&rl.list, "a", 0, ".1.3.6.1.4.1.99999.1.7");
  sm_response_list_add(&rl.list, "b", 0, ".1.3.6.1.4.1.99999.1.8");
  snmp_perf before = perf_now();
  EXPECT_EQ(sm_request_multiple(r.s.fd, 0, SNMP_REQ_TYPE_GET, &rl.list, &r.s.err),
            SM_ERR_RESPONSE_STAT);
  EXPECT_EQ(rl.at(0)->variables, nullptr);
  EXPECT_EQ(rl.at(1)->variables, nullptr);
  EXPECT_EQ(perf_delta(before).response_error, 1u);
}

TEST(SnmpGet, OnlyUnparsableEntriesSendNothing) {
  rig r;
  ASSERT_TRUE(r.start(responder_mode::walk_ok));
  response_list rl;
  sm_response_list_add(&rl.list, "bad", 0, "1.3.x");
  EXPECT_EQ(sm_get_request(r.s.fd, &rl.list, &r.s.err), 0);
  EXPECT_EQ(r.responder.requests.load(), 0);
}

}  // namespace

namespace {

// A cancel ends a walk that waits on a slow device (its answer due a minute
// later) or on a silent one (time-out 30 s in all) within a wait slice; the
// next request on the thread fails at once without being sent. The
// thread's tally tells answers from time-outs.
TEST(SnmpCancel, CancelEndsWaitsAndWalksAndTheTallyCountsOutcomes) {
  for (responder_mode mode : {responder_mode::walk_ok, responder_mode::silent}) {
    SCOPED_TRACE(static_cast<int>(mode));
    vktest::snmp_responder responder;
    responder.walk_delay_ms.store(60000);
    ASSERT_TRUE(responder.start(mode, 200));
    open_session s;
    ASSERT_EQ(sm_set_snmp_info(&s.info, "127.0.0.1", static_cast<uint16_t>(responder.port),
                               SNMP_VERSION_2c, 10000000, 2, "public"),
              0);
    ASSERT_TRUE(s.open());
    std::atomic<bool> cancel{false};
    sm_set_thread_cancel(&cancel);
    sm_tally_reset();
    std::thread canceller([&] {
      for (int i = 0; i < 6000 && responder.requests.load() < 1; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      cancel.store(true);
    });
    auto t0 = std::chrono::steady_clock::now();
    response_list rl;
    sm_response_list_add(&rl.list, "table", 0, vktest::kResponderRootText);
    int ret = sm_bulk_request_multiple(s.fd, 0, &rl.list, &s.err);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    canceller.join();
    EXPECT_EQ(ret, SM_ERR_CANCELLED);
    EXPECT_LT(waited, 25.0);  // far below the device's delay or time-out span
    EXPECT_EQ(rl.at(0)->variables, nullptr);
    sm_exchange_tally t;
    sm_tally_get(&t);
    EXPECT_EQ(t.answers, 0u);
    EXPECT_EQ(t.timeouts, 0u);  // a cancel is not a time-out
    int sent = responder.requests.load();
    EXPECT_EQ(sm_get_request(s.fd, &rl.list, &s.err), SM_ERR_CANCELLED);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(responder.requests.load(), sent);
    sm_set_thread_cancel(nullptr);
    responder.stop();
  }
  // Without a cancel, silence is a time-out in the tally.
  rig r;
  ASSERT_TRUE(r.start(responder_mode::silent));
  sm_tally_reset();
  std::vector<long> rows;
  EXPECT_EQ(walk(&r, &rows), SM_ERR_RESPONSE);
  sm_exchange_tally t;
  sm_tally_get(&t);
  EXPECT_EQ(t.timeouts, 1u);
  EXPECT_EQ(t.answers, 0u);
  // The wait sleeps between wake-ups: a slice or a retransmission each,
  // not a loop spinning on a select that returns at once.
  uint32_t span_msec = kTimeoutUs / 1000 * (kRetries + 1);
  EXPECT_LE(t.waits, span_msec / SM_WAIT_SLICE_MSEC + 2u * (kRetries + 1) + 10u) << t.waits;
}

}  // namespace
