// The outbound event buffer against a link record whose queue the test
// reads: packets held while the link is down go out in arrival order once
// it is ready and before newer ones, a full buffer drops the oldest and
// counts them, a full send queue holds instead of dropping, a limit of 0
// drops what the link refuses as before, and what a dropped link had not
// sent comes back ahead of newer held events.
#include "event_buffer.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "config.h"
#include "dgcomm.h"
#include "dgcomm_packet.h"
#include "receivers_test_env.h"

namespace {

// A packet whose body is `text`, in a packet of `capacity` bytes.
mlist_item_t *packet(const std::string &text, uint32_t capacity = 0) {
  mlist_item_t *pkt = nullptr;
  pkt_data *pd = make_packet_data(&pkt, DG_PKT_SYSLOG,
                                  capacity != 0 ? capacity : static_cast<uint32_t>(text.size()));
  memcpy(pd->body, text.data(), text.size());
  pd->body_len = static_cast<uint32_t>(text.size());
  return pkt;
}

std::vector<std::string> drain(rxtest::queue_link *link) {
  std::vector<std::string> got;
  rxtest::bytes body;
  while (link->pop(&body) != 0) got.emplace_back(body.begin(), body.end());
  return got;
}

evbuf_stats_t stats() {
  evbuf_stats_t s;
  evbuf_get_stats(&s);
  return s;
}

using texts = std::vector<std::string>;

TEST(EventBuffer, HeldWhileTheLinkIsDownThenSentInArrivalOrderBeforeNewOnes) {
  rxtest::queue_link link;
  evbuf_init(1 << 20);
  EXPECT_EQ(evbuf_submit(packet("a"), 1, "t"), EVBUF_HELD);  // not ready before the handshake
  EXPECT_EQ(evbuf_submit(packet("b"), 10, "t"), EVBUF_HELD);
  EXPECT_EQ(link.count(), 0u);
  EXPECT_EQ(stats().held_events, 11u);
  evbuf_set_link_ready(1);
  EXPECT_EQ(evbuf_submit(packet("c"), 1, "t"), EVBUF_SENT);
  EXPECT_EQ(drain(&link), (texts{"a", "b", "c"}));
  EXPECT_EQ(stats().sent_late_events, 11u);

  // A lost link: held again, even though the record still says connected
  // (the next connection is not acknowledged yet).
  evbuf_set_link_ready(0);
  EXPECT_EQ(evbuf_submit(packet("d"), 1, "t"), EVBUF_HELD);
  // The link takes two packets, then its queue is full: the rest stays
  // held, in order, and nothing new overtakes it.
  rxtest::queue_link small(2);
  evbuf_set_link_ready(1);
  EXPECT_EQ(evbuf_submit(packet("e"), 1, "t"), EVBUF_SENT);
  EXPECT_EQ(evbuf_submit(packet("f"), 1, "t"), EVBUF_HELD);
  EXPECT_EQ(evbuf_submit(packet("g"), 1, "t"), EVBUF_HELD);
  EXPECT_EQ(drain(&small), (texts{"d", "e"}));
  EXPECT_EQ(evbuf_flush(), 2);
  EXPECT_EQ(drain(&small), (texts{"f", "g"}));
  EXPECT_EQ(stats().dropped_events, 0u);
  evbuf_clear();
}

TEST(EventBuffer, FullBufferDropsTheOldestAndCountsThem) {
  rxtest::queue_link link;
  std::string big(1000, 'x');
  // Room for three such packets.
  uint64_t one = sizeof(pkt_data) + NIO_HEADER_SIZE + 1000 + EVBUF_PACKET_OVERHEAD;
  evbuf_init(3 * one + 10);
  for (char c : std::string("12345")) {
    EXPECT_EQ(evbuf_submit(packet(std::string(1, c) + big), 7, "t"), EVBUF_HELD);
  }
  evbuf_stats_t s = stats();
  EXPECT_EQ(s.held_packets, 3u);
  EXPECT_EQ(s.held_events, 21u);
  EXPECT_EQ(s.dropped_events, 14u);
  EXPECT_EQ(s.dropped_packets, 2u);
  EXPECT_LE(s.held_bytes, s.limit_bytes);
  // Larger than the whole buffer: dropped at once, the held ones stay.
  EXPECT_EQ(evbuf_submit(packet(std::string(4 * one, 'z')), 1, "t"), EVBUF_ERR_TOO_BIG);
  EXPECT_EQ(stats().dropped_events, 15u);
  evbuf_set_link_ready(1);
  texts got = drain(&link);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0][0], '3');
  EXPECT_EQ(got[2][0], '5');
  evbuf_clear();
}

TEST(EventBuffer, HeldPacketsKeepOnlyTheirEncodedBytes) {
  rxtest::queue_link link;
  evbuf_init(1 << 20);
  // A syslog batch asks for 64 KiB and more; holding one line must not
  // cost that much.
  EXPECT_EQ(evbuf_submit(packet("<13>one line", 65535 + 80), 1, "t"), EVBUF_HELD);
  EXPECT_LT(stats().held_bytes, 512u);
  evbuf_set_link_ready(1);
  EXPECT_EQ(drain(&link), (texts{"<13>one line"}));
  evbuf_clear();
}

TEST(EventBuffer, LimitZeroDropsWhatTheLinkRefusesAsBefore) {
  rxtest::queue_link link;
  evbuf_init(0);
  // No handshake is waited for: the link's own state decides.
  EXPECT_EQ(evbuf_submit(packet("a"), 1, "t"), EVBUF_SENT);
  link.conn->connection_state.store(DG_STATE_DISCONNECTED);
  EXPECT_EQ(evbuf_submit(packet("b"), 5, "t"), EVBUF_ERR_REFUSED);
  EXPECT_EQ(stats().dropped_events, 5u);
  EXPECT_EQ(stats().held_packets, 0u);
  link.conn->connection_state.store(DG_STATE_CONNECTED);
  EXPECT_EQ(drain(&link), (texts{"a"}));
  EXPECT_EQ(evbuf_submit(nullptr, 1, "t"), EVBUF_ERR_ARGUMENT);
  evbuf_clear();
  evbuf_clear();  // twice is safe
}

// A packet of `type` with body `text` carrying `events` events, queued on
// the link as the receivers do.
void submit(const std::string &text, uint32_t events) {
  ASSERT_EQ(evbuf_submit(packet(text), events, "t"), EVBUF_SENT) << text;
}

// The link drops with "a" cut in the sender, "b" and "c" and a report in
// its queue, while "d" came after the drop: the syslog and trap packets go
// back to the buffer ahead of "d", in their order, with their events; the
// report is dropped as before. A buffer too small keeps the newest, and a
// limit of 0 drops them all, counted.
TEST(EventBuffer, WhatADroppedLinkHadNotSentGoesBackAheadOfNewerEvents) {
  uint64_t one = sizeof(pkt_data) + NIO_HEADER_SIZE + 1 + EVBUF_PACKET_OVERHEAD;
  struct {
    uint64_t limit;
    texts want;
    uint64_t dropped_events;
  } const rows[] = {
      {1 << 20, {"a", "b", "c", "d"}, 0},
      {2 * one, {"c", "d"}, 2 + 3},  // "d" is held first, then "a" and "b" make way
      {0, {}, 2 + 3 + 4 + 1},        // nothing is held: "d" is refused as well
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.limit);
    rxtest::queue_link link;
    evbuf_init(row.limit);
    evbuf_set_link_ready(1);
    submit("a", 2);
    // The sender takes "a" and begins to send it.
    mlist_item_t *cut = nullptr;
    mlist_pop_front_data(&link.conn->send_queue, nullptr, &cut);
    link.conn->sending = cut;
    submit("b", 3);
    mlist_item_t *trap = nullptr;
    pkt_data *pd = make_packet_data(&trap, DG_PKT_SNMP_TRAP, 1);
    pd->body[0] = 'c';
    pd->body_len = 1;
    ASSERT_EQ(evbuf_submit(trap, 4, "t"), EVBUF_SENT);
    mlist_item_t *report = nullptr;
    make_packet_data(&report, DG_PKT_DEVICE_PERF, 1)->body_len = 1;
    ASSERT_EQ(add_packet_to_dgcomm(link.conn, report), 0);

    evbuf_set_link_ready(0);
    link.conn->connection_state.store(DG_STATE_DISCONNECTED);
    int d = evbuf_submit(packet("d"), 1, "t");
    EXPECT_EQ(d, row.limit == 0 ? EVBUF_ERR_REFUSED : EVBUF_HELD);
    EXPECT_EQ(dg_take_back_events(link.conn), 3);
    EXPECT_EQ(link.count(), 0u);
    EXPECT_EQ(link.conn->sending, nullptr);
    evbuf_stats_t s = stats();
    EXPECT_EQ(s.dropped_events, row.dropped_events);
    EXPECT_EQ(s.held_events + s.dropped_events, 2u + 3 + 4 + 1);
    EXPECT_EQ(s.held_packets, row.want.size());

    link.conn->connection_state.store(DG_STATE_CONNECTED);
    evbuf_set_link_ready(1);
    EXPECT_EQ(drain(&link), row.want);
    EXPECT_EQ(stats().sent_late_events + row.dropped_events, 2u + 3 + 4 + 1);
    evbuf_clear();
  }
}

// The setting in qdr.conf: a whole number of bytes; anything else leaves
// the default.
TEST(EventBuffer, SettingTakesWholeNumbersOfBytesOnly) {
  vktest::temp_dir dir;
  std::string path = dir.path + "/qdr.conf";
  struct {
    const char *line;
    long long want;
  } cases[] = {
      {"event_buffer_bytes=1048576\n", 1048576},
      {"event_buffer_bytes=0\n", 0},
      {"", AGENT_CONFIG_EVENT_BUFFER_BYTES},
      {"event_buffer_bytes=12x\n", AGENT_CONFIG_EVENT_BUFFER_BYTES},
      {"event_buffer_bytes=-1\n", AGENT_CONFIG_EVENT_BUFFER_BYTES},
      {"event_buffer_bytes=99999999999999999999\n", AGENT_CONFIG_EVENT_BUFFER_BYTES},
  };
  for (const auto &c : cases) {
    vktest::write_file(path, c.line);
    config_init(&g_agent_config);
    char p[AGENT_CONFIG_PATH_SIZE];
    snprintf(p, sizeof(p), "%s", path.c_str());
    testing::internal::CaptureStderr();
    ASSERT_EQ(load_config_from_file(p), 0);
    std::string err = testing::internal::GetCapturedStderr();
    config_validation();
    EXPECT_EQ(g_agent_config.event_buffer_bytes, c.want) << c.line;
    bool refused = c.want == AGENT_CONFIG_EVENT_BUFFER_BYTES && c.line[0] != '\0';
    EXPECT_EQ(err.find("event_buffer_bytes is not a number of bytes") != std::string::npos, refused)
        << c.line << err;
  }
  config_init(&g_agent_config);
}

}  // namespace
