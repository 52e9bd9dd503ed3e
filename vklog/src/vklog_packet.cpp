#include "vklog_packet.h"

#include <string.h>
#include <unistd.h>

#include <atomic>

#include "vk_comm.h"
#include "vklog_crc32.h"
#include "vklog_utils.h"

namespace {

// The sequence counter: one process-wide value, advanced with a
// compare-and-swap so that concurrent categories neither repeat nor skip.
std::atomic<uint16_t> g_sequence{0};

struct host_name {
  char name[128];
  size_t len;
};

const host_name &cached_host() {
  static const host_name h = [] {
    host_name v{};
    if (gethostname(v.name, sizeof(v.name)) != 0) v.name[0] = '\0';
    v.name[sizeof(v.name) - 1] = '\0';
    v.len = strlen(v.name);
    return v;
  }();
  return h;
}

// Writes a one-byte length and the name; returns the bytes written.
size_t put_name(unsigned char *p, const char *name, size_t len) {
  if (len > 255) len = 255;
  p[0] = static_cast<unsigned char>(len);
  memcpy(p + 1, name, len);
  return len + 1;
}

}  // namespace

int vk_udp_check_magic(const void *data, size_t length) {
  if (data == nullptr || length < 4) return -5;
  const unsigned char *p = static_cast<const unsigned char *>(data);
  if (p[0] != VKLOG_UDP_MAGIC_0) return -4;
  if (p[1] != VKLOG_UDP_MAGIC_1) return -3;
  if (p[2] != VKLOG_UDP_MAGIC_2) return -2;
  if ((p[3] & 0xF0) != (VKLOG_UDP_MAGIC_3 & 0xF0)) return -1;
  return 0;
}

uint32_t vk_udp_get_crc(const void *data, size_t length) {
  if (data == nullptr) return 0;
  return vl_crc32(0, data, length);
}

int vk_udp_check_crc(uint32_t value, const void *header, size_t length) {
  if (header == nullptr) return -1;
  return vk_udp_get_crc(header, length) == value ? 0 : -1;
}

int vk_udp_set_header(void *buffer, uint16_t sequence, size_t length) {
  if (buffer == nullptr || length > 65535) return -1;
  unsigned char *p = static_cast<unsigned char *>(buffer);
  p[0] = VKLOG_UDP_MAGIC_0;
  p[1] = VKLOG_UDP_MAGIC_1;
  p[2] = VKLOG_UDP_MAGIC_2;
  p[3] = VKLOG_UDP_MAGIC_3;
  vk_put_be32(p + 4, 0);
  vk_put_be16(p + 8, sequence);
  vk_put_be16(p + 10, 0);
  vk_put_be16(p + 12, static_cast<uint16_t>(length));
  size_t total = VKLOG_UDP_HEADER_SIZE + length;
  vk_put_be32(p + 4, vl_crc32(0, p, total));
  return static_cast<int>(total);
}

uint16_t vl_vklogger_next_sequence(void) {
  uint16_t cur = g_sequence.load(std::memory_order_relaxed);
  uint16_t next;
  do {
    next = cur + 1 >= VKLOG_UDP_SEQUENCE_LIMIT ? 0 : static_cast<uint16_t>(cur + 1);
  } while (!g_sequence.compare_exchange_weak(cur, next, std::memory_order_relaxed));
  return cur;
}

const char *vl_vklogger_host_name(size_t *len) {
  const host_name &h = cached_host();
  if (len != nullptr) *len = h.len;
  return h.name;
}

size_t vl_vklogger_set_packet_from_config(const vklog_config_t *config, char *buffer) {
  unsigned char *p = reinterpret_cast<unsigned char *>(buffer);
  size_t off = VKLOG_UDP_HEADER_SIZE;
  vk_put_be16(p + off, VKLOG_UDP_RECORD_TYPE);
  off += 2;
  size_t host_len = 0;
  const char *host = vl_vklogger_host_name(&host_len);
  off += put_name(p + off, host, host_len);
  // The name fields are at most 127 bytes; the bounds hold even for a
  // record whose lengths were never set.
  off += put_name(p + off, config->name, strnlen(config->name, sizeof(config->name) - 1));
  off +=
      put_name(p + off, config->out_file, strnlen(config->out_file, sizeof(config->out_file) - 1));
  uint64_t pid = static_cast<uint64_t>(vl_getpid());
  vk_put_be32(p + off, static_cast<uint32_t>(pid >> 32));
  vk_put_be32(p + off + 4, static_cast<uint32_t>(pid));
  off += 8;
  vk_put_be32(p + off, 0);
  off += 4;
  return off;
}

size_t vl_vklogger_set_packet_finish_from_config(const vklog_config_t *config, char *buffer,
                                                 size_t data_length, size_t packet_len) {
  (void)config;
  unsigned char *p = reinterpret_cast<unsigned char *>(buffer);
  vk_put_be32(p + packet_len - 4, static_cast<uint32_t>(data_length));
  size_t total = packet_len + data_length;
  vk_udp_set_header(p, vl_vklogger_next_sequence(), total - VKLOG_UDP_HEADER_SIZE);
  return total;
}

int vl_vklogger_parse_packet(const void *data, size_t length, vl_vklogger_record_t *out) {
  if (data == nullptr || out == nullptr || length < VKLOG_UDP_HEADER_SIZE + 2) return -1;
  const unsigned char *p = static_cast<const unsigned char *>(data);
  vl_vklogger_record_t r{};
  r.crc = vk_get_be32(p + 4);
  r.sequence = vk_get_be16(p + 8);
  r.payload_length = vk_get_be16(p + 12);
  if (r.payload_length != length - VKLOG_UDP_HEADER_SIZE) return -2;
  r.record_type = vk_get_be16(p + 14);
  if (r.record_type != VKLOG_UDP_RECORD_TYPE) return -3;
  size_t off = VKLOG_UDP_HEADER_SIZE + 2;
  const char *names[3];
  size_t lens[3];
  for (int i = 0; i < 3; i++) {
    if (off >= length || p[off] > length - off - 1) return -4 - i;
    lens[i] = p[off];
    names[i] = reinterpret_cast<const char *>(p + off + 1);
    off += 1 + lens[i];
  }
  if (length - off < 12) return -7;
  r.pid = (static_cast<uint64_t>(vk_get_be32(p + off)) << 32) | vk_get_be32(p + off + 4);
  uint32_t text_len = vk_get_be32(p + off + 8);
  off += 12;
  if (text_len != length - off) return -8;
  r.host = names[0];
  r.host_len = lens[0];
  r.category = names[1];
  r.category_len = lens[1];
  r.file = names[2];
  r.file_len = lens[2];
  r.text = reinterpret_cast<const char *>(p + off);
  r.text_len = text_len;
  *out = r;
  return 0;
}
