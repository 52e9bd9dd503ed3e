// The network agent's own framing: queued packets, the serializer and the
// incremental reassembler, fed through real stream sockets.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "dgcomm.h"
#include "dgcomm_packet.h"
#include "mlist.h"

namespace {

using bytes = std::vector<uint8_t>;

struct dispatched {
  uint16_t type;
  uint32_t id;
  uint32_t length;
  std::string payload;
};
std::vector<dispatched> g_seen;
int g_peek_fd = -1;  // when set, bytes still unread at each dispatch
std::vector<int> g_unread_at_dispatch;

int capture(const uint8_t *sub, uint32_t length) {
  if (g_peek_fd >= 0) {
    int n = -1;
    ioctl(g_peek_fd, FIONREAD, &n);
    g_unread_at_dispatch.push_back(n);
  }
  dispatched d;
  d.type = static_cast<uint16_t>((sub[0] << 8) | sub[1]);
  d.id = (uint32_t{sub[2]} << 24) | (uint32_t{sub[3]} << 16) | (uint32_t{sub[4]} << 8) | sub[5];
  d.length = length;
  d.payload.assign(reinterpret_cast<const char *>(sub + 11), length - 11);
  g_seen.push_back(d);
  return 0;
}

bytes frame(uint16_t type, const std::string &payload, uint8_t version = 2, uint8_t flag = 4,
            uint32_t id = 9) {
  bytes p = {0xF9, 0xF2, 0xF8, version, flag, 0, 0, 0};
  uint32_t len = static_cast<uint32_t>(payload.size() + 11);
  for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(len >> s));
  p.push_back(static_cast<uint8_t>(type >> 8));
  p.push_back(static_cast<uint8_t>(type));
  for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(id >> s));
  for (int i = 0; i < 5; i++) p.push_back(0);
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

void set_body_length(bytes &p, uint32_t len) {
  p[8] = static_cast<uint8_t>(len >> 24);
  p[9] = static_cast<uint8_t>(len >> 16);
  p[10] = static_cast<uint8_t>(len >> 8);
  p[11] = static_cast<uint8_t>(len);
}

// A connection record whose socket is one end of a socket pair; the test
// writes into the other end.
class Reassembler : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.clear();
    conn = make_dg_conn("127.0.0.1", 9010, 10);
    ASSERT_NE(conn, nullptr);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    conn->sock.store(fds[0]);
    peer = fds[1];
    conn->callbacks.packet_handler = capture;
  }
  void TearDown() override {
    if (peer >= 0) close(peer);
    dg_conn_free(conn);
  }
  void put(const bytes &b) {
    ASSERT_EQ(send(peer, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
  }
  // Runs the reassembler until it has nothing more to read (bounded).
  int drain() {
    int r = 0;
    for (int i = 0; i < 1000; i++) {
      r = dg_receive_packet(conn);
      if (r != 0 || conn->last_recv_ret_val <= 0) break;
    }
    return r;
  }
  dg_conn *conn = nullptr;
  int peer = -1;
};

TEST(PacketData, MakesOneItemWithHeaderRoomAndPayloadSpaceBehindTheRecord) {
  mlist_item_t *item = nullptr;
  pkt_data *pd = make_packet_data(&item, 54000, 100);
  ASSERT_NE(pd, nullptr);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(pd->type, 54000);
  EXPECT_EQ(pd->body, reinterpret_cast<uint8_t *>(pd) + sizeof(pkt_data) + NIO_HEADER_SIZE);
  EXPECT_EQ(pd->body_len, 0u);
  EXPECT_EQ(mlist_get_data_from_item(nullptr, item), pd);
  memset(pd->body, 0xAB, 100);  // the whole payload space is writable
  remove_pkt(nullptr, item);
  remove_pkt(nullptr, nullptr);
  EXPECT_EQ(make_packet_data(nullptr, 1, 1), nullptr);
}

TEST(PacketSerialize, EmptyPayloadIsTwentyThreeBytesWithBodyLengthEleven) {
  dgcomm_init();
  mlist_item_t *item = nullptr;
  pkt_data *pd = make_packet_data(&item, 10043, 16);
  pakcet_buffer_t pb = {};
  uint32_t before = g_packet_id.load();
  ASSERT_EQ(packet_data_serialize(pd, &pb), 0);
  ASSERT_EQ(pb.length, 23u);
  EXPECT_EQ(pb.remain, 23u);
  EXPECT_EQ(pb.ptr, pb.buffer);
  EXPECT_EQ(pb.buffer + NIO_HEADER_SIZE, pd->body);  // framed in the item's header room
  uint32_t id = before + 1;
  const bytes expect = {0xF9,
                        0xF2,
                        0xF8,
                        2,
                        4,
                        0,
                        0,
                        0,
                        0,
                        0,
                        0,
                        11,
                        0x27,
                        0x3B,
                        static_cast<uint8_t>(id >> 24),
                        static_cast<uint8_t>(id >> 16),
                        static_cast<uint8_t>(id >> 8),
                        static_cast<uint8_t>(id),
                        0,
                        0,
                        0,
                        0,
                        0};
  EXPECT_EQ(bytes(pb.buffer, pb.buffer + pb.length), expect);
  remove_pkt(nullptr, item);
}

TEST(PacketSerialize, FramesInPlaceRenumbersAResendAndRefusesAnOversizedBody) {
  dgcomm_init();
  pakcet_buffer_t pb = {};
  mlist_item_t *item = nullptr;
  pkt_data *pd = make_packet_data(&item, 54102, 5000);
  memset(pd->body, 'x', 5000);
  pd->body_len = 5000;
  ASSERT_EQ(packet_data_serialize(pd, &pb), 0);
  EXPECT_EQ(pb.length, 5023u);
  EXPECT_EQ(pb.buffer + NIO_HEADER_SIZE, pd->body);  // the payload is not copied
  EXPECT_EQ(pb.buffer[11], 0x93);                    // body_length = 5000 + 11 = 0x1393
  uint32_t first_id = (uint32_t{pb.buffer[14]} << 24) | (uint32_t{pb.buffer[15]} << 16) |
                      (uint32_t{pb.buffer[16]} << 8) | pb.buffer[17];
  packet_data_clear(&pb);
  EXPECT_EQ(pb.ptr, nullptr);
  EXPECT_EQ(pb.buffer, nullptr);
  pd->body_len = 10;  // the same item framed again, as a taken-back packet is
  ASSERT_EQ(packet_data_serialize(pd, &pb), 0);
  EXPECT_EQ(pb.length, 33u);
  uint32_t second_id = (uint32_t{pb.buffer[14]} << 24) | (uint32_t{pb.buffer[15]} << 16) |
                       (uint32_t{pb.buffer[16]} << 8) | pb.buffer[17];
  EXPECT_GT(second_id, first_id);
  EXPECT_EQ(pb.buffer[11], 21);  // body_length = 10 + 11
  pakcet_buffer_t before = pb;
  pd->body_len = UINT32_MAX - NIO_SUB_HEADER_SIZE + 1;
  EXPECT_EQ(packet_data_serialize(pd, &pb), -1);
  EXPECT_EQ(pb.buffer, before.buffer);
  EXPECT_EQ(pb.length, before.length);
  remove_pkt(nullptr, item);
}

TEST(PacketRecovery, KeepsTheBytesFromTheLastMagic) {
  uint8_t raw[32];
  data_buffer_t b = {raw, 0, sizeof(raw)};
  b.length = 2;
  raw[0] = 0xF9;
  raw[1] = 0xF2;
  EXPECT_EQ(_recovery_data_buffer(&b), 0);
  EXPECT_EQ(b.length, 2u);

  const bytes junk = {1, 0xF9, 0xF2, 0xF8, 7, 0xF9, 0xF2, 0xF8, 8, 9};
  memcpy(raw, junk.data(), junk.size());
  b.length = static_cast<uint32_t>(junk.size());
  EXPECT_EQ(_recovery_data_buffer(&b), 0);
  ASSERT_EQ(b.length, 5u);
  EXPECT_EQ(bytes(raw, raw + 5), (bytes{0xF9, 0xF2, 0xF8, 8, 9}));

  const bytes none = {1, 2, 3, 0xF9, 0xF2};  // a partial marker is not a marker
  memcpy(raw, none.data(), none.size());
  b.length = 5;
  EXPECT_EQ(_recovery_data_buffer(&b), -2);

  const bytes at_start = {0xF9, 0xF2, 0xF8, 1};
  memcpy(raw, at_start.data(), at_start.size());
  b.length = 4;
  EXPECT_EQ(_recovery_data_buffer(&b), 0);
  EXPECT_EQ(b.length, 4u);
}

TEST_F(Reassembler, DispatchesAWholePacketOnce) {
  put(frame(50036, "hello"));
  EXPECT_EQ(drain(), 0);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].type, 50036);
  EXPECT_EQ(g_seen[0].id, 9u);
  EXPECT_EQ(g_seen[0].length, 16u);
  EXPECT_EQ(g_seen[0].payload, "hello");
  EXPECT_EQ(conn->recv_buffer.length, 0u);
  EXPECT_EQ(conn->is_chk_header, 0);
}

TEST_F(Reassembler, AssemblesAPacketArrivingOneByteAtATime) {
  bytes p = frame(55002, std::string(40, 'd'));
  for (size_t i = 0; i < p.size(); i++) {
    put(bytes{p[i]});
    ASSERT_EQ(dg_receive_packet(conn), 0) << "byte " << i;
    ASSERT_EQ(g_seen.size(), i + 1 == p.size() ? 1u : 0u) << "byte " << i;
  }
  EXPECT_EQ(g_seen[0].payload, std::string(40, 'd'));
}

TEST_F(Reassembler, NeverReadsPastThePacketBeingAssembled) {
  bytes two = frame(50036, "first");
  bytes second = frame(50038, "second");
  two.insert(two.end(), second.begin(), second.end());
  put(two);
  g_peek_fd = conn->sock.load();
  g_unread_at_dispatch.clear();
  EXPECT_EQ(drain(), 0);
  g_peek_fd = -1;
  ASSERT_EQ(g_seen.size(), 2u);
  // When the first packet was handed on, the whole second one was still in
  // the socket: nothing past the packet being assembled is read.
  ASSERT_EQ(g_unread_at_dispatch.size(), 2u);
  EXPECT_EQ(g_unread_at_dispatch[0], static_cast<int>(second.size()));
  EXPECT_EQ(g_unread_at_dispatch[1], 0);
  EXPECT_EQ(g_seen[1].type, 50038);
  EXPECT_EQ(g_seen[1].payload, "second");
}

TEST_F(Reassembler, ResynchronisesAfterGarbage) {
  bytes p = {'j', 'u', 'n', 'k', 0xF9, 1, 2};
  bytes f = frame(55006, "packs");
  p.insert(p.end(), f.begin(), f.end());
  put(p);
  EXPECT_EQ(drain(), 0);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].type, 55006);
  EXPECT_EQ(g_seen[0].payload, "packs");
}

TEST_F(Reassembler, GarbageWithoutMagicDropsTheConnection) {
  put(bytes(12, 0x41));
  EXPECT_EQ(drain(), -3);
  EXPECT_TRUE(g_seen.empty());
}

TEST_F(Reassembler, RefusesHeaderVersionsOtherThanTwo) {
  for (uint8_t v : {0, 1, 3}) {
    conn->recv_buffer.length = 0;
    conn->is_chk_header = 0;
    put(frame(50036, "x", v));
    EXPECT_EQ(dg_receive_packet(conn), -4) << "version " << int{v};
    char sink[64];
    recv(conn->sock.load(), sink, sizeof(sink), MSG_DONTWAIT);
  }
  EXPECT_TRUE(g_seen.empty());
}

TEST_F(Reassembler, DoesNotExamineTheFlag) {
  for (uint8_t f : {3, 5, 6}) put(frame(50038, "f", 2, f));
  EXPECT_EQ(drain(), 0);
  EXPECT_EQ(g_seen.size(), 3u);
}

TEST_F(Reassembler, RefusesBodyLengthsThatCannotBeAPacket) {
  // 0, shorter than the sub header, and larger than the reassembly buffer.
  for (uint32_t len : {0u, 10u, DATA_BUFFER_SIZE_MAX - 11u, 0xFFFFFFFFu}) {
    conn->recv_buffer.length = 0;
    conn->is_chk_header = 0;
    bytes p = frame(50036, "");
    set_body_length(p, len);
    put(p);
    EXPECT_EQ(dg_receive_packet(conn), -5) << "length " << len;
    char sink[64];
    recv(conn->sock.load(), sink, sizeof(sink), MSG_DONTWAIT);
  }
  EXPECT_TRUE(g_seen.empty());
}

TEST_F(Reassembler, AcceptsTheLargestPacketTheBufferHolds) {
  // Only the header is sent: the point is that the announced size is taken.
  bytes p = frame(50036, "");
  set_body_length(p, DATA_BUFFER_SIZE_MAX - 12u);
  p.resize(12);
  put(p);
  EXPECT_EQ(dg_receive_packet(conn), 0);
  EXPECT_EQ(conn->is_chk_header, 1);
}

// Pages of the reassembly buffer that are resident, over its first `len` bytes.
size_t resident_pages(const uint8_t *buf, size_t len) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t start = reinterpret_cast<uintptr_t>(buf) & ~(page - 1);
  size_t n = (reinterpret_cast<uintptr_t>(buf) + len - start + page - 1) / page;
  std::vector<unsigned char> vec(n);
  if (mincore(reinterpret_cast<void *>(start), n * page, vec.data()) != 0) return SIZE_MAX;
  size_t resident = 0;
  for (unsigned char v : vec) resident += v & 1u;
  return resident;
}

TEST_F(Reassembler, GivesTheUsedPagesBackAfterALargePacketAndKeepsTheBuffer) {
  for (char fill : {'a', 'b'}) {
    g_seen.clear();
    bytes p = frame(50038, std::string(3 * 1024 * 1024, fill));
    std::thread writer([&] { put(p); });
    for (int i = 0; i < 10000 && g_seen.empty(); i++) {
      struct pollfd pfd = {conn->sock.load(), POLLIN, 0};
      poll(&pfd, 1, 100);
      ASSERT_EQ(dg_receive_packet(conn), 0);
    }
    writer.join();
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].payload, std::string(3 * 1024 * 1024, fill));
    EXPECT_LE(resident_pages(conn->recv_buffer.buffer, p.size()), 2u);  // the partial end pages
  }
  // A small packet leaves its pages alone.
  put(frame(50038, std::string(1000, 'c')));
  EXPECT_EQ(drain(), 0);
  EXPECT_GE(resident_pages(conn->recv_buffer.buffer, 1000), 1u);
}

TEST_F(Reassembler, ReportsAPeerCloseThroughTheLastReceiveResult) {
  bytes p = frame(50036, "cut");
  p.resize(16);
  put(p);
  EXPECT_EQ(drain(), 0);
  close(peer);
  peer = -1;
  EXPECT_EQ(dg_receive_packet(conn), 0);
  EXPECT_EQ(conn->last_recv_ret_val, 0);
  EXPECT_TRUE(g_seen.empty());
}

TEST_F(Reassembler, NoDataYetIsNotAnError) {
  EXPECT_EQ(dg_receive_packet(conn), 0);
  EXPECT_LT(conn->last_recv_ret_val, 0);
  EXPECT_EQ(dg_receive_packet(nullptr), -1);
}

}  // namespace
