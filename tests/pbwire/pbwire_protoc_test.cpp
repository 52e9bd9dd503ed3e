// Every message type of both agents against the reference compiler, run as
// a real process:
//  - a message filled with varied values (negative int32, zigzag, 64-bit
//    extremes, empty and 300-byte strings, all byte values, nested and
//    repeated messages, maps) is encoded by our code and decoded by
//    `protoc --decode`; its text must equal our own print of the message;
//  - that text is encoded by `protoc --encode`; our decoder must give the
//    same message back, and without maps the bytes must equal ours
//    (canonical field order, packed scalars, defaults left out).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "all_types.h"
#include "all_types_test_helpers.h"
#include "common_agent_info_test_helpers.h"
#include "host_common_test_helpers.h"
#include "host_log_test_helpers.h"
#include "host_process_test_helpers.h"
#include "host_stat_test_helpers.h"
#include "host_system_info_test_helpers.h"
#include "network_agent_device_info_test_helpers.h"
#include "network_auto_discovery_test_helpers.h"
#include "network_collect_info_test_helpers.h"
#include "network_common_test_helpers.h"
#include "network_public_stat_test_helpers.h"
#include "test_process.h"

namespace {

constexpr size_t k_workspace_size = 1 << 20;
constexpr int k_seeds = 3;  // seed 0 fills every field, the others vary

struct module_table_t {
  const pbwire_test_message_t *messages_p;
  int count;
};

std::vector<const pbwire_test_message_t *> all_messages() {
  const module_table_t modules[] = {
      {common_agent_info_test_messages, common_agent_info_test_message_count},
      {network_common_test_messages, network_common_test_message_count},
      {network_agent_device_info_test_messages, network_agent_device_info_test_message_count},
      {network_collect_info_test_messages, network_collect_info_test_message_count},
      {network_auto_discovery_test_messages, network_auto_discovery_test_message_count},
      {network_public_stat_test_messages, network_public_stat_test_message_count},
      {host_common_test_messages, host_common_test_message_count},
      {host_stat_test_messages, host_stat_test_message_count},
      {host_process_test_messages, host_process_test_message_count},
      {host_system_info_test_messages, host_system_info_test_message_count},
      {host_log_test_messages, host_log_test_message_count},
      {all_types_test_messages, all_types_test_message_count},
  };
  std::vector<const pbwire_test_message_t *> out;
  for (const module_table_t &module : modules) {
    for (int i = 0; i < module.count; i++) {
      out.push_back(&module.messages_p[i]);
    }
  }
  return out;
}

// Runs protoc with `mode` ("--decode" or "--encode") on the file `input`.
vktest::run_result run_protoc(const char *mode, const pbwire_test_message_t &message,
                              const std::string &input) {
  std::string command = std::string("exec protoc ") + mode + "=" + message.name + " -I '" +
                        message.include_dir + "' '" + message.proto_path + "' < '" + input + "'";
  return vktest::run_program({"/bin/sh", "-c", command}, {}, "", 30000);
}

// A message of `message`'s type built in `workspace` and filled from `seed`;
// null when the workspace is too small.
void *filled_message(const pbwire_test_message_t &message, std::vector<char> *workspace,
                     int seed) {
  void *self_p = message.new_fn(workspace->data(), workspace->size());
  if (self_p == nullptr) {
    return nullptr;
  }
  pbwire_test_rng_t rng;
  pbwire_test_rng_init(&rng, std::hash<std::string>()(message.name) + seed, seed == 0);
  message.fill_fn(self_p, &rng);
  return self_p;
}

class EveryMessage : public testing::TestWithParam<const pbwire_test_message_t *> {};

TEST_P(EveryMessage, RoundTripsThroughProtocBothWays) {
  const pbwire_test_message_t &message = *GetParam();
  vktest::temp_dir dir;
  std::vector<char> workspace(k_workspace_size);
  std::vector<char> workspace_back(k_workspace_size);
  std::vector<uint8_t> encoded(k_workspace_size);
  for (int seed = 0; seed < k_seeds; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    void *self_p = filled_message(message, &workspace, seed);
    ASSERT_NE(self_p, nullptr);
    std::string ours;
    message.print_fn(self_p, &ours);
    int length = message.encode_fn(self_p, encoded.data(), encoded.size());
    ASSERT_GE(length, 0);
    std::string bytes(reinterpret_cast<const char *>(encoded.data()), static_cast<size_t>(length));

    std::string bin_path = dir.path + "/ours.bin";
    ASSERT_TRUE(vktest::write_file(bin_path, bytes));
    vktest::run_result decoded = run_protoc("--decode", message, bin_path);
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.out, ours);

    std::string text_path = dir.path + "/ours.txt";
    ASSERT_TRUE(vktest::write_file(text_path, ours));
    vktest::run_result reference = run_protoc("--encode", message, text_path);
    ASSERT_EQ(reference.status, 0) << reference.err;
    if (!message.has_map) {
      EXPECT_EQ(reference.out, bytes);
    }
    void *back_p = message.new_fn(workspace_back.data(), workspace_back.size());
    ASSERT_NE(back_p, nullptr);
    EXPECT_EQ(message.decode_fn(back_p, reference.out.data(), reference.out.size()),
              static_cast<int>(reference.out.size()));
    std::string again;
    message.print_fn(back_p, &again);
    EXPECT_EQ(again, ours);
  }
}

// Every message type in buffers around the exact fit (the encoding plus the
// one byte the encoder leaves unused): the bytes of a roomy buffer (checked
// against protoc above) whenever it fits, "Encode buffer full" otherwise,
// and never a byte written past the size given. Near the fit the types
// written forwards go back to the backwards encoder; both must agree.
TEST_P(EveryMessage, BuffersAroundTheFitGiveTheSameBytesOrBufferFull) {
  const pbwire_test_message_t &message = *GetParam();
  std::vector<char> workspace(k_workspace_size);
  std::vector<uint8_t> roomy(k_workspace_size);
  constexpr uint8_t k_guard = 0xa5;
  constexpr size_t k_guard_size = 16;
  for (int seed = 0; seed < k_seeds; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    void *self_p = filled_message(message, &workspace, seed);
    ASSERT_NE(self_p, nullptr);
    int length = message.encode_fn(self_p, roomy.data(), roomy.size());
    ASSERT_GE(length, 0);
    size_t fit = static_cast<size_t>(length) + 1;
    for (size_t size : {size_t{0}, size_t{1}, fit / 2, fit - 2, fit - 1, fit, fit + 1, fit + 7}) {
      if (size > fit + 7) {
        continue;  // fit - 2 when the encoding is empty
      }
      SCOPED_TRACE("size " + std::to_string(size) + " of fit " + std::to_string(fit));
      std::vector<uint8_t> buffer(size + k_guard_size, k_guard);
      int result = message.encode_fn(self_p, buffer.data(), size);
      if (size >= fit) {
        ASSERT_EQ(result, length);
        EXPECT_EQ(memcmp(buffer.data(), roomy.data(), static_cast<size_t>(length)), 0);
      } else {
        EXPECT_EQ(result, -PBWIRE_ENCODE_BUFFER_FULL);
      }
      EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<ptrdiff_t>(size), buffer.end(),
                              [](uint8_t b) { return b == k_guard; }));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pbwire, EveryMessage, testing::ValuesIn(all_messages()),
                         [](const testing::TestParamInfo<const pbwire_test_message_t *> &param) {
                           return std::string(param.param->name);
                         });

}  // namespace

namespace {

std::string hex(const void *data_p, size_t size) {
  std::string out;
  char text[4];
  for (size_t i = 0; i < size; i++) {
    snprintf(text, sizeof(text), "%02x", static_cast<const uint8_t *>(data_p)[i]);
    out += text;
  }
  return out;
}

}  // namespace

// A flat row's length is given the width its upper bound needs (every field
// at its largest, over 127 bytes for all_types_row); when the row is shorter
// the content moves down behind a one-byte length.
TEST(ForwardEncoding, RowLengthsTakeTheWidthOfTheirOwnSize) {
  std::vector<char> workspace(k_workspace_size);
  all_types_row_list_t *list_p = all_types_row_list_new(workspace.data(), workspace.size());
  ASSERT_NE(list_p, nullptr);
  ASSERT_EQ(all_types_row_list_rows_alloc(list_p, 3), 0);
  std::string long_text(200, 'a');
  list_p->count = 3;
  list_p->rows.items_p[1].v_uint32 = 300;
  list_p->rows.items_p[2].v_string_p = long_text.c_str();
  std::string expected = "0803" "1a00" "1a0318ac02" "1acb0172c801" + hex(long_text.data(), 200);
  std::vector<uint8_t> buffer(1024);
  int length = all_types_row_list_encode(list_p, buffer.data(), buffer.size());
  ASSERT_EQ(length, static_cast<int>(expected.size() / 2));
  EXPECT_EQ(hex(buffer.data(), static_cast<size_t>(length)), expected);
}
