// Fuzz entry points for the decoders of every message the agents receive
// from the collector.
//
// Each input is decoded twice: into the workspace the agent itself uses for
// that message, and into a small workspace whose size varies with the input
// so that running out of memory is hit at every point of a message. No
// decode may read or write outside its input and workspace (the sanitizers
// watch that). A successful decode must also survive a round trip: its
// re-encoding must decode in full and encode to the same bytes again, so a
// decoder that accepts something it cannot represent is caught too.
#include <cstring>
#include <vector>

#include "common_agent_info.h"
#include "fuzz_targets.h"
#include "host_common.h"
#include "host_process.h"
#include "network_agent_device_info.h"
#include "network_collect_info.h"

namespace {

struct fuzz_message_t {
  size_t agent_workspace_size;  // what the receiving agent decodes into
  size_t message_size;
  void *(*new_fn)(void *workspace_p, size_t size);
  int (*decode_fn)(void *self_p, const void *encoded_p, size_t size);
  int (*encode_fn)(const void *self_p, void *encoded_p, size_t size);
};

// Workspaces and encode buffers reused across runs (one thread).
std::vector<char> g_workspace;
std::vector<char> g_round_trip_workspace;
std::vector<uint8_t> g_first;
std::vector<uint8_t> g_second;

int decode_and_round_trip(const fuzz_message_t *message_p, const uint8_t *data, size_t size) {
  // Small workspace: header, structure and up to 255 bytes more.
  size_t small = PBWIRE_HEAP_HEADER_SIZE + message_p->message_size + (size > 0 ? data[0] : 0);
  g_workspace.assign(small, 0);
  void *self_p = message_p->new_fn(g_workspace.data(), g_workspace.size());
  if (self_p == nullptr) {
    return 1;
  }
  int result = message_p->decode_fn(self_p, data, size);
  if (result > static_cast<int>(size)) {
    return 1;
  }

  g_workspace.assign(message_p->agent_workspace_size, 0);
  self_p = message_p->new_fn(g_workspace.data(), g_workspace.size());
  if (self_p == nullptr) {
    return 1;
  }
  result = message_p->decode_fn(self_p, data, size);
  if (result < 0) {
    return 0;
  }
  if (result != static_cast<int>(size)) {
    return 1;
  }
  // A re-encoding is at most about twice the input: a 5-byte negative
  // int32 becomes 10 bytes.
  size_t room = 3 * size + 1024;
  g_first.assign(room, 0);
  int first = message_p->encode_fn(self_p, g_first.data(), g_first.size());
  if (first < 0) {
    return 1;
  }
  g_round_trip_workspace.assign(message_p->agent_workspace_size + 4 * room, 0);
  void *again_p = message_p->new_fn(g_round_trip_workspace.data(), g_round_trip_workspace.size());
  if (again_p == nullptr || message_p->decode_fn(again_p, g_first.data(), first) != first) {
    return 1;
  }
  g_second.assign(room, 0);
  int second = message_p->encode_fn(again_p, g_second.data(), g_second.size());
  if (second != first || memcmp(g_first.data(), g_second.data(), static_cast<size_t>(first)) != 0) {
    return 1;
  }
  return 0;
}

// Adapters from the typed generated functions, one set per message.
// Agent workspace: the network agent grows it up to 40 + 4 * 1024 bytes.
const fuzz_message_t k_common_res_agent_info_message = {
    4136,
    sizeof(common_res_agent_info_message_t),
    [](void *workspace_p, size_t size) -> void * {
      return common_res_agent_info_message_new(workspace_p, size);
    },
    [](void *self_p, const void *encoded_p, size_t size) {
      return common_res_agent_info_message_decode(
          static_cast<common_res_agent_info_message_t *>(self_p), encoded_p, size);
    },
    [](const void *self_p, void *encoded_p, size_t size) {
      return common_res_agent_info_message_encode(
          static_cast<const common_res_agent_info_message_t *>(self_p), encoded_p, size);
    },
};

const fuzz_message_t k_common_res_agent_config_message = {
    1024,
    sizeof(common_res_agent_config_message_t),
    [](void *workspace_p, size_t size) -> void * {
      return common_res_agent_config_message_new(workspace_p, size);
    },
    [](void *self_p, const void *encoded_p, size_t size) {
      return common_res_agent_config_message_decode(
          static_cast<common_res_agent_config_message_t *>(self_p), encoded_p, size);
    },
    [](const void *self_p, void *encoded_p, size_t size) {
      return common_res_agent_config_message_encode(
          static_cast<const common_res_agent_config_message_t *>(self_p), encoded_p, size);
    },
};

const fuzz_message_t k_network_connect_test_device = {
    65535,
    sizeof(network_connect_test_device_t),
    [](void *workspace_p, size_t size) -> void * {
      return network_connect_test_device_new(workspace_p, size);
    },
    [](void *self_p, const void *encoded_p, size_t size) {
      return network_connect_test_device_decode(
          static_cast<network_connect_test_device_t *>(self_p), encoded_p, size);
    },
    [](const void *self_p, void *encoded_p, size_t size) {
      return network_connect_test_device_encode(
          static_cast<const network_connect_test_device_t *>(self_p), encoded_p, size);
    },
};

const fuzz_message_t k_network_device_list = {
    65535,
    sizeof(network_device_list_t),
    [](void *workspace_p, size_t size) -> void * {
      return network_device_list_new(workspace_p, size);
    },
    [](void *self_p, const void *encoded_p, size_t size) {
      return network_device_list_decode(static_cast<network_device_list_t *>(self_p), encoded_p,
                                        size);
    },
    [](const void *self_p, void *encoded_p, size_t size) {
      return network_device_list_encode(static_cast<const network_device_list_t *>(self_p),
                                        encoded_p, size);
    },
};

const fuzz_message_t k_network_collect_event = {
    65535,
    sizeof(network_collect_event_t),
    [](void *workspace_p, size_t size) -> void * {
      return network_collect_event_new(workspace_p, size);
    },
    [](void *self_p, const void *encoded_p, size_t size) {
      return network_collect_event_decode(static_cast<network_collect_event_t *>(self_p), encoded_p,
                                          size);
    },
    [](const void *self_p, void *encoded_p, size_t size) {
      return network_collect_event_encode(static_cast<const network_collect_event_t *>(self_p),
                                          encoded_p, size);
    },
};

const fuzz_message_t k_network_collect_oid_pack_list = {
    65535,
    sizeof(network_collect_oid_pack_list_t),
    [](void *workspace_p, size_t size) -> void * {
      return network_collect_oid_pack_list_new(workspace_p, size);
    },
    [](void *self_p, const void *encoded_p, size_t size) {
      return network_collect_oid_pack_list_decode(
          static_cast<network_collect_oid_pack_list_t *>(self_p), encoded_p, size);
    },
    [](const void *self_p, void *encoded_p, size_t size) {
      return network_collect_oid_pack_list_encode(
          static_cast<const network_collect_oid_pack_list_t *>(self_p), encoded_p, size);
    },
};

const fuzz_message_t k_res_time_sync_message = {
    1024,
    sizeof(res_time_sync_message_t),
    [](void *workspace_p, size_t size) -> void * {
      return res_time_sync_message_new(workspace_p, size);
    },
    [](void *self_p, const void *encoded_p, size_t size) {
      return res_time_sync_message_decode(static_cast<res_time_sync_message_t *>(self_p), encoded_p,
                                          size);
    },
    [](const void *self_p, void *encoded_p, size_t size) {
      return res_time_sync_message_encode(static_cast<const res_time_sync_message_t *>(self_p),
                                          encoded_p, size);
    },
};

const fuzz_message_t k_req_host_process_limits_message = {
    65535,
    sizeof(req_host_process_limits_message_t),
    [](void *workspace_p, size_t size) -> void * {
      return req_host_process_limits_message_new(workspace_p, size);
    },
    [](void *self_p, const void *encoded_p, size_t size) {
      return req_host_process_limits_message_decode(
          static_cast<req_host_process_limits_message_t *>(self_p), encoded_p, size);
    },
    [](const void *self_p, void *encoded_p, size_t size) {
      return req_host_process_limits_message_encode(
          static_cast<const req_host_process_limits_message_t *>(self_p), encoded_p, size);
    },
};

}  // namespace

int fuzz_common_res_agent_info_message(const uint8_t *data, size_t size) {
  return decode_and_round_trip(&k_common_res_agent_info_message, data, size);
}

int fuzz_common_res_agent_config_message(const uint8_t *data, size_t size) {
  return decode_and_round_trip(&k_common_res_agent_config_message, data, size);
}

int fuzz_network_connect_test_device(const uint8_t *data, size_t size) {
  return decode_and_round_trip(&k_network_connect_test_device, data, size);
}

int fuzz_network_device_list(const uint8_t *data, size_t size) {
  return decode_and_round_trip(&k_network_device_list, data, size);
}

int fuzz_network_collect_event(const uint8_t *data, size_t size) {
  return decode_and_round_trip(&k_network_collect_event, data, size);
}

int fuzz_network_collect_oid_pack_list(const uint8_t *data, size_t size) {
  return decode_and_round_trip(&k_network_collect_oid_pack_list, data, size);
}

int fuzz_res_time_sync_message(const uint8_t *data, size_t size) {
  return decode_and_round_trip(&k_res_time_sync_message, data, size);
}

int fuzz_req_host_process_limits_message(const uint8_t *data, size_t size) {
  return decode_and_round_trip(&k_req_host_process_limits_message, data, size);
}
