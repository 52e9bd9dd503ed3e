// Fuzz entry for the host agent's side of the collector link: the frame
// reader of the link thread and the dispatch of every packet it completes,
// with the real handlers (ping answer, time zone, time synchronisation,
// agent information with the host id file, configuration change applied and
// saved, process-limits request).
//
// host_link_stream: the input's first byte chooses how the rest is read.
// Even: the rest is the byte stream itself. Odd: the rest is a list of
// packets (type: 2 bytes, body length: 2 bytes, body) that the entry frames
// with a sound header, so the handlers are reached at once. The stream goes
// into one end of a socket pair whose other end is then shut, and the link
// thread's receive step (dg_process_frame with read_msg_nio) runs until the
// stream ends or is refused. Answers go through the link's send seam to a
// sink; queued reports are dropped at the end of each run.
//
// Checked besides memory safety: each receive step ends with a body length
// or one of the documented codes, a bad frame ends the stream, and after a
// configuration change the saved file loads back without a refused value
// and gives exactly the values in force (what a restart would run with).
//
// host_config_file: the input is the agent's "config" file, loaded over the
// built-in table; the table is then saved and loaded again into a new one.
// Checked: the load ends with a documented code, and the saved file loads
// with no refused value into exactly the same values.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "collect_hooks.h"
#include "configure.h"
#include "fuzz_host_env.h"
#include "fuzz_input.h"
#include "fuzz_targets.h"
#include "os/linux/lks_linux_process.h"
#include "pkt_proto/proto_recv.h"
#include "pub_conf.h"
#include "thr_dgconn.h"
#include "vk_comm.h"

namespace {

bool g_ready = false;

ssize_t sink_send(int sock, const void *buf, size_t len, int flags) {
  (void)sock;
  (void)buf;
  (void)flags;
  return static_cast<ssize_t>(len);
}

bool setup() {
  if (g_ready) return true;
  if (fuzz_host_root().empty()) return false;
  // The default log folder names the home through this variable.
  setenv("VOSK_HOST_HOME", g_vk_host_home, 1);
  if (dg_link_init(nullptr) != 0) return false;
  g_dg_link.ops.send = sink_send;
  g_conf_handle = create_configure(g_conf_table, CONF_COUNT);
  if (g_conf_handle == nullptr) return false;
  g_ready = true;
  return true;
}

bool known_code(int r) {
  switch (r) {
    case DG_RECV_TIMEOUT:
    case DG_RECV_STOPPED:
    case DG_RECV_CLOSED:
    case DG_RECV_FAILED:
    case DG_RECV_BAD_MAGIC:
    case DG_RECV_BAD_VERSION:
    case DG_RECV_BAD_LENGTH:
    case DG_RECV_BAD_FLAG:
    case DG_RECV_STALLED:
    case DG_RECV_CUT:
      return true;
    default:
      return false;
  }
}

// The packets of the structured form, each framed as the collector frames
// it.
std::string frame_packets(fuzz_input *in) {
  std::string stream;
  while (fuzz_input_left(in) > 0) {
    uint16_t code = static_cast<uint16_t>(fuzz_input_uint(in, 2));
    std::string_view body = fuzz_input_bytes(in, fuzz_input_uint(in, 2));
    uint8_t header[NIO_HEADER_SIZE];
    set_nio_main_header(reinterpret_cast<pkt_nio_main_header *>(header), NIO_FLAG_PROTOBUF,
                        static_cast<uint32_t>(NIO_SUB_HEADER_SIZE + body.size()));
    set_nio_sub_header(reinterpret_cast<pkt_nio_sub_header *>(header + NIO_MAIN_HEADER_SIZE), code,
                       0, 0, HOST_PKT_BODY_VERSION);
    stream.append(reinterpret_cast<const char *>(header), sizeof(header));
    stream.append(body);
  }
  return stream;
}

// The configuration file at `path` (when there is one), loaded into a new
// table, must hold no refused value and equal `in_force`. The file is
// removed.
bool saved_configuration_sound(conf_handle_t *in_force, const char *path) {
  if (access(path, F_OK) != 0) return true;
  conf_handle_t *fresh = create_configure(g_conf_table, CONF_COUNT);
  if (fresh == nullptr) return true;
  int loaded_code = load_config_file(fresh, path);
  bool sound = loaded_code == 0;
  if (!sound) fprintf(stderr, "%s: saved file loads with %d\n", path, loaded_code);
  for (int i = 0; sound && i < CONF_COUNT; i++) {
    char kept[CONF_LINE_SIZE], loaded[CONF_LINE_SIZE];
    get_conf_value_string_for_idx(in_force, i, kept, sizeof(kept));
    get_conf_value_string_for_idx(fresh, i, loaded, sizeof(loaded));
    if (strcmp(kept, loaded) != 0) {
      fprintf(stderr, "%s: %s is \"%s\" in force but loads as \"%s\"\n", path, g_conf_table[i].key,
              kept, loaded);
      sound = false;
    }
  }
  destroy_configure(fresh);
  unlink(path);
  return sound;
}

}  // namespace

int fuzz_host_link_stream(const uint8_t *data, size_t size) {
  if (!setup()) return 1;
  fuzz_host_ops_install();
  g_collect_hooks.process_limits_request = lks_process_limits_request;
  fuzz_input in = fuzz_input_make(data, size);
  std::string stream;
  if ((fuzz_input_u8(&in) & 1) != 0) {
    stream = frame_packets(&in);
  } else {
    stream.assign(fuzz_input_bytes(&in, fuzz_input_left(&in)));
  }
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    perror("socketpair");
    return 1;
  }
  // Room for the whole stream, so the writer never waits.
  int room = static_cast<int>(stream.size() + 65536);
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
  setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
  size_t off = 0;
  while (off < stream.size()) {
    ssize_t w = send(fds[1], stream.data() + off, stream.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  shutdown(fds[1], SHUT_WR);

  g_dg_link.is_connection.store(1);
  dg_recv_ctx_t ctx = {fds[0], 0};
  int broken = 0;
  char config_path[HOST_PATH_SIZE];
  bool have_path = host_config_path(config_path, sizeof(config_path)) == 0;
  // A frame holds at least 23 bytes, so this bounds the steps.
  for (size_t step = 0; step <= stream.size() / NIO_HEADER_SIZE + 1; step++) {
    // The stream is all there (or ended), so the wait never lasts.
    int r = dg_process_frame(fds[0], DG_RECV_WAIT_SEC * 1000, read_msg_nio, &ctx);
    if (r == 0) continue;  // dispatched
    if (r > 0 || (r < DG_RECV_CUT && !known_code(r))) {
      fprintf(stderr, "receive step ended with %d\n", r);
      broken = 1;
    }
    break;  // the link would reconnect
  }
  if (have_path && !saved_configuration_sound(g_conf_handle, config_path)) broken = 1;
  g_dg_link.is_connection.store(0);
  clear_send_queue();
  close(fds[0]);
  close(fds[1]);
  return broken;
}

int fuzz_host_config_file(const uint8_t *data, size_t size) {
  if (!setup()) return 1;
  std::string input = std::string(g_vk_host_home) + "/input.conf";
  std::string saved = std::string(g_vk_host_home) + "/saved.conf";
  std::string_view text(reinterpret_cast<const char *>(data), size);
  if (!fuzz_host_put_file(input.substr(fuzz_host_root().size()), text)) return 1;
  conf_handle_t *handle = create_configure(g_conf_table, CONF_COUNT);
  if (handle == nullptr) return 0;
  int broken = 0;
  int code = load_config_file(handle, input.c_str());
  if (code != 0 && code != -3) {
    fprintf(stderr, "%s: load ended with %d\n", input.c_str(), code);
    broken = 1;
  }
  if (save_config_file(handle, saved.c_str()) != 0) {
    fprintf(stderr, "%s: not saved\n", saved.c_str());
    broken = 1;
  } else if (!saved_configuration_sound(handle, saved.c_str())) {
    broken = 1;
  }
  destroy_configure(handle);
  return broken;
}
