// The generated messages of both agents where their callers rely on
// particular bytes or sizes: which fields a typical message leaves off the
// wire, defaults seen after decoding, and the structure sizes the agents
// use to size their workspaces. Field numbers are read back with a small
// independent key walker.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common_agent_info.h"
#include "host_common.h"
#include "host_stat.h"
#include "host_system_info.h"
#include "network_agent_device_info.h"
#include "network_collect_info.h"
#include "network_common.h"
#include "network_public_stat.h"

namespace {

using bytes_t = std::vector<uint8_t>;

// Field numbers of the top-level keys, in order. Stops at anything it
// cannot walk (the encoder's output never has that).
std::vector<int> top_level_fields(const bytes_t &bytes) {
  std::vector<int> out;
  size_t pos = 0;
  auto read_varint = [&](uint64_t *value_p) {
    *value_p = 0;
    for (int shift = 0; pos < bytes.size() && shift < 64; shift += 7) {
      uint8_t b = bytes[pos++];
      *value_p |= static_cast<uint64_t>(b & 0x7f) << shift;
      if ((b & 0x80) == 0) {
        return true;
      }
    }
    return false;
  };
  while (pos < bytes.size()) {
    uint64_t key;
    if (!read_varint(&key)) {
      break;
    }
    out.push_back(static_cast<int>(key >> 3));
    uint64_t length = 0;
    switch (key & 7) {
      case 0:
        read_varint(&length);
        length = 0;
        break;
      case 1:
        length = 8;
        break;
      case 2:
        read_varint(&length);
        break;
      case 5:
        length = 4;
        break;
      default:
        return out;
    }
    pos += length;
  }
  return out;
}

struct workspace {
  std::vector<char> bytes = std::vector<char>(1 << 16);
  void *data() { return bytes.data(); }
  size_t size() const { return bytes.size(); }
};

template <typename T>
bytes_t encode_with(int (*encode_fn)(const T *, void *, size_t), const T *message_p) {
  bytes_t buffer(1 << 16);
  int length = encode_fn(message_p, buffer.data(), buffer.size());
  EXPECT_GE(length, 0);
  buffer.resize(length < 0 ? 0 : static_cast<size_t>(length));
  return buffer;
}

TEST(CommonMessages, WorkspaceSizesCallersUseHold) {
  // The agents size workspaces as 168 bytes for the request plus 32 per
  // address item and 24 per hardware-address item.
  EXPECT_EQ(PBWIRE_HEAP_HEADER_SIZE + sizeof(common_req_agent_info_message_t), 168u);
  EXPECT_EQ(sizeof(common_ip_info_t), 32u);
  EXPECT_EQ(sizeof(common_mac_info_t), 24u);
  std::vector<char> ws(168 + 2 * 32 + 24);
  common_req_agent_info_message_t *m = common_req_agent_info_message_new(ws.data(), ws.size());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(common_req_agent_info_message_ip_infos_alloc(m, 2), 0);
  EXPECT_EQ(common_req_agent_info_message_mac_infos_alloc(m, 1), 0);
  EXPECT_EQ(common_req_agent_info_message_mac_infos_alloc(m, 1), -1);
  EXPECT_EQ(common_req_agent_info_message_new(ws.data(), 167), nullptr);
  // The latency record is built in a 128-byte workspace.
  std::vector<char> small(128);
  EXPECT_NE(network_device_latency_new(small.data(), small.size()), nullptr);
}

TEST(CommonMessages, RequestWithoutAddressesHasNoAddressFields) {
  workspace ws;
  common_req_agent_info_message_t *m = common_req_agent_info_message_new(ws.data(), ws.size());
  m->time = 1700000000000;
  m->agent_name_p = "qdr-agent";
  m->platform_type = 1;
  m->agent_type = 3;
  m->agent_protocol_version = 20240125;
  m->os_type = 4;
  m->cpu_arch = 5;
  EXPECT_EQ(top_level_fields(encode_with(common_req_agent_info_message_encode, m)),
            (std::vector<int>{1, 2, 4, 5, 6, 9, 11}));
  static const uint8_t address[4] = {10, 0, 0, 1};
  ASSERT_EQ(common_req_agent_info_message_ip_infos_alloc(m, 1), 0);
  m->ip_infos.items_p[0].ip_version = 4;
  m->ip_infos.items_p[0].ip_addr = pbwire_bytes_t{address, 4};
  EXPECT_EQ(top_level_fields(encode_with(common_req_agent_info_message_encode, m)),
            (std::vector<int>{1, 2, 4, 5, 6, 9, 11, 14}));
}

TEST(CommonMessages, AnswerWithoutAgentIdDecodesEmptyString) {
  workspace ws;
  common_res_agent_info_message_t *m = common_res_agent_info_message_new(ws.data(), ws.size());
  const uint8_t input[] = {0x10, 0x05, 0x18, 0x07};  // versions only
  ASSERT_EQ(common_res_agent_info_message_decode(m, input, sizeof(input)), 4);
  ASSERT_NE(m->agent_id_p, nullptr);
  EXPECT_STREQ(m->agent_id_p, "");
  EXPECT_EQ(m->protocol_version, 5u);
  EXPECT_EQ(m->dg_protocol_version, 7u);
}

TEST(CommonMessages, FailedResultWithoutTextCarriesOnlyTheRequestId) {
  workspace ws;
  network_packet_result_t *m = network_packet_result_new(ws.data(), ws.size());
  m->request_id_p = "req-1";
  m->success = false;
  EXPECT_EQ(top_level_fields(encode_with(network_packet_result_encode, m)), (std::vector<int>{1}));
}

TEST(NetworkMessages, DefaultsStayOffTheWire) {
  workspace ws;
  network_device_t *device = network_device_new(ws.data(), ws.size());
  device->id_p = "d1";
  device->flag = _device_flag_add_e;
  bytes_t bytes = encode_with(network_device_encode, device);
  EXPECT_EQ(top_level_fields(bytes), (std::vector<int>{1}));
  workspace back_ws;
  network_device_t *back = network_device_new(back_ws.data(), back_ws.size());
  ASSERT_EQ(network_device_decode(back, bytes.data(), bytes.size()),
            static_cast<int>(bytes.size()));
  EXPECT_EQ(back->flag, _device_flag_add_e);
  device->flag = _device_flag_update_e;
  EXPECT_EQ(top_level_fields(encode_with(network_device_encode, device)),
            (std::vector<int>{1, 10}));

  workspace perf_ws;
  network_if_perf_t *perf = network_if_perf_new(perf_ws.data(), perf_ws.size());
  perf->device_id_p = "d1";
  perf->in_octet_count = 1;
  perf->crc_error_count = 2;
  EXPECT_EQ(top_level_fields(encode_with(network_if_perf_encode, perf)),
            (std::vector<int>{1, 5, 22}));
  perf->crc_rate = 0.5;
  EXPECT_EQ(top_level_fields(encode_with(network_if_perf_encode, perf)),
            (std::vector<int>{1, 5, 22, 32}));

  workspace log_ws;
  network_syslog_t *log = network_syslog_new(log_ws.data(), log_ws.size());
  log->device_id_p = "d1";
  log->facility = 3;
  log->collect_time = 1;
  EXPECT_EQ(top_level_fields(encode_with(network_syslog_encode, log)), (std::vector<int>{1, 3, 6}));
}

TEST(NetworkMessages, OidPackSkipsItsUnusedFieldTwo) {
  workspace ws;
  network_collect_oid_pack_t *pack = network_collect_oid_pack_new(ws.data(), ws.size());
  // id 7, field 2 (not in the schema) "zz", type bulk, one OID item.
  const uint8_t input[] = {0x08, 0x07, 0x12, 0x02, 'z', 'z', 0x18, 0x02,
                           0x22, 0x05, 0x12, 0x03, '1', '.', '3'};
  ASSERT_EQ(network_collect_oid_pack_decode(pack, input, sizeof(input)), 15);
  EXPECT_EQ(pack->id, 7u);
  EXPECT_EQ(pack->type, _bulk_e);
  ASSERT_EQ(pack->oid.length, 1);
  EXPECT_STREQ(pack->oid.items_p[0].oid_p, "1.3");
  EXPECT_STREQ(pack->oid.items_p[0].value_name_p, "");
}

TEST(NetworkMessages, UnknownEnumNumbersSurviveDecoding) {
  workspace ws;
  network_snmp_info_t *info = network_snmp_info_new(ws.data(), ws.size());
  const uint8_t input[] = {0x08, 0x07};  // version 7
  ASSERT_EQ(network_snmp_info_decode(info, input, sizeof(input)), 2);
  EXPECT_EQ(static_cast<int32_t>(info->version), 7);
  EXPECT_EQ(info->security_p, nullptr);
}

TEST(HostMessages, ReportsAlwaysCarryTheIdentityWithItsConstant) {
  workspace ws;
  host_swap_stat_message_t *swap = host_swap_stat_message_new(ws.data(), ws.size());
  ASSERT_EQ(host_swap_stat_message_identity_alloc(swap), 0);
  swap->identity_p->host_id_p = "";
  swap->identity_p->os_type = 4;
  bytes_t bytes = encode_with(host_swap_stat_message_encode, swap);
  // No swap areas: only field 1, which holds field 3 = 4.
  EXPECT_EQ(top_level_fields(bytes), (std::vector<int>{1}));
  EXPECT_EQ(bytes, (bytes_t{0x0a, 0x02, 0x18, 0x04}));
}

TEST(HostMessages, InterfaceOfKindNoneHasNoKindField) {
  workspace ws;
  network_info_t *info = network_info_new(ws.data(), ws.size());
  info->index = 2;
  info->name_p = "eth0";
  info->kind = _interface_kind_none_e;
  EXPECT_EQ(top_level_fields(encode_with(network_info_encode, info)), (std::vector<int>{1, 2}));
  info->kind = _interface_kind_physical_e;
  EXPECT_EQ(top_level_fields(encode_with(network_info_encode, info)), (std::vector<int>{1, 2, 7}));
}

TEST(HostMessages, NegativeTimezoneOffsetTravelsAsTwosComplement) {
  workspace ws;
  res_timezone_offset_message_t *m = res_timezone_offset_message_new(ws.data(), ws.size());
  m->offset = static_cast<uint64_t>(-3600000LL);
  bytes_t bytes = encode_with(res_timezone_offset_message_encode, m);
  EXPECT_EQ(bytes.size(), 11u);  // key and a 10-byte varint
  workspace back_ws;
  res_timezone_offset_message_t *back =
      res_timezone_offset_message_new(back_ws.data(), back_ws.size());
  ASSERT_EQ(res_timezone_offset_message_decode(back, bytes.data(), bytes.size()), 11);
  EXPECT_EQ(static_cast<int64_t>(back->offset), -3600000LL);
}

}  // namespace
