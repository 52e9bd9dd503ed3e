#include "vklog_comm.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vklog_lock.h"

namespace {

constexpr int kSendBuffer = 65535;

}  // namespace

int vl_vklogger_socket_open(vklog_output_vklogger_t *output) {
  if (output->sock >= 0) return -1;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    output->err_no = errno;
    output->is_connect = 0;
    return -2;
  }
  int size = 0;
  socklen_t len = sizeof(size);
  if (getsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, &len) == 0 && size < kSendBuffer) {
    size = kSendBuffer;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  }
  output->sock = s;
  return 0;
}

int vl_vklogger_socket_close(vklog_output_vklogger_t *output) {
  output->is_connect = 0;
  if (output->sock < 0) return -1;
  shutdown(output->sock, SHUT_RDWR);
  close(output->sock);
  output->sock = -1;
  return 0;
}

int vl_vklogger_connect(vklog_output_vklogger_t *output, const char *ip, uint16_t port) {
  if (ip == nullptr || ip[0] == '\0') return 0;
  output->is_connect = 0;
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  int r = inet_pton(AF_INET, ip, &sa.sin_addr);
  if (r == 0) return -3;
  if (r < 0) {
    output->err_no = errno;
    return -4;
  }
  if (output->sock < 0 ||
      connect(output->sock, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) != 0) {
    output->err_no = output->sock < 0 ? EBADF : errno;
    return -5;
  }
  output->is_connect = 1;
  return 0;
}

int vl_output_vklogger_init_from_config(vklog_output_vklogger_t *output,
                                        const vklog_config_t *config) {
  if (vl_lock_init(&output->lock) != 0) return -5;
  if ((config->output & VKLOG_OUTPUT_VKLOGGER) == 0) return 0;
  vl_lock_guard g(&output->lock);
  if (vl_vklogger_socket_open(output) != 0) return -1;
  if (config->vklogger_ip[0] != '\0' &&
      vl_vklogger_connect(output, config->vklogger_ip, config->vklogger_port) != 0)
    return -3;
  return 0;
}

int vl_apply_config_to_vklogger(vklog_output_vklogger_t *output, const vklog_config_t *old_config,
                                const vklog_config_t *new_config) {
  bool want = (new_config->output & VKLOG_OUTPUT_VKLOGGER) != 0;
  vl_lock_guard g(&output->lock);
  bool has = output->sock >= 0;
  bool opening = want && !has;
  bool closing = !want && has;
  bool address_changed = false;
  bool connect_new = false;
  bool clear_connect = false;
  if (want) {
    bool same = old_config != nullptr &&
                strcmp(old_config->vklogger_ip, new_config->vklogger_ip) == 0 &&
                old_config->vklogger_port == new_config->vklogger_port;
    if (!same) {
      if (new_config->vklogger_ip[0] == '\0') {
        clear_connect = true;
      } else {
        address_changed = true;
      }
    } else if (opening) {
      connect_new = true;
    }
  }
  if (closing || address_changed) {
    if (vl_vklogger_socket_close(output) != 0 && closing) return -1;
  }
  if (opening || address_changed) {
    if (vl_vklogger_socket_open(output) != 0) return -2;
  }
  if (address_changed || connect_new) {
    if (vl_vklogger_connect(output, new_config->vklogger_ip, new_config->vklogger_port) != 0)
      return -3;
  }
  if (clear_connect) output->is_connect = 0;
  return 0;
}

int vl_va_log_send_to_vklogger(vklog_output_vklogger_t *output, const char *buffer, size_t length) {
  vl_lock_guard g(&output->lock);
  if (output->sock < 0) return -2;
  if (!output->is_connect) return -3;
  ssize_t n = send(output->sock, buffer, length, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n < 0) {
    output->perf_data.sent_error_count++;
  } else {
    output->perf_data.sent_success_count++;
    output->perf_data.sent_size += static_cast<uint32_t>(n);
  }
  return 0;
}

void vl_output_vklogger_clear(vklog_output_vklogger_t *output) {
  vl_lock(&output->lock);
  vl_vklogger_socket_close(output);
  vl_unlock(&output->lock);
  vl_lock_destroy(&output->lock);
}
