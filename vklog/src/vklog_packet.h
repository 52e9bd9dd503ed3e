// vklog_packet: the datagram that carries one log line to the vklogger
// collector, and the checks a receiver makes on it.
//
// Layout (integers in network byte order):
//   0  4  magic 0xB9 0xC8 0xAC 0xE2
//   4  4  CRC-32 of the whole datagram computed with these 4 bytes zero
//   8  2  sequence number, process-wide, 0..59999 then 0 again
//   10 2  zero
//   12 2  payload length: bytes after this 14-byte header
//   14 2  record type, 3
//   16 1  host name length H, then H bytes
//      1  category name length N, then N bytes
//      1  log file name length F, then F bytes
//      8  process id
//      4  text length T, then T bytes of the log line (no terminator)
//
// Owns the process-wide sequence counter (atomic) and the cached host name
// (taken once). Any thread may call every function.
#ifndef VKLOG_VKLOG_PACKET_H
#define VKLOG_VKLOG_PACKET_H

#include <stddef.h>
#include <stdint.h>

#include "vklog.h"

#define VKLOG_UDP_MAGIC_0 0xB9
#define VKLOG_UDP_MAGIC_1 0xC8
#define VKLOG_UDP_MAGIC_2 0xAC
#define VKLOG_UDP_MAGIC_3 0xE2  // a receiver checks only its high nibble
#define VKLOG_UDP_HEADER_SIZE 14
#define VKLOG_UDP_RECORD_TYPE 3
#define VKLOG_UDP_SEQUENCE_LIMIT 60000
// Fixed bytes of the record: type, three name lengths, pid, text length.
#define VKLOG_UDP_RECORD_FIXED 17
// Largest datagram the library builds (the line buffer).
#define VKLOG_UDP_PACKET_MAX VKLOG_LINE_BUFFER_SIZE

// 0 when `data` starts with the magic; -5 for null data or fewer than 4
// bytes; -4, -3, -2 when byte 0, 1, 2 differ; -1 when the high nibble of
// byte 3 is not 0xE.
int vk_udp_check_magic(const void *data, size_t length);

// 0 when the CRC-32 of `length` bytes at `header` equals `value`, else -1
// (also for null data). The caller zeroes bytes 4..7 of a received datagram
// before the check.
int vk_udp_check_crc(uint32_t value, const void *header, size_t length);

// The CRC-32 of `length` bytes at `data` (0 for null data).
uint32_t vk_udp_get_crc(const void *data, size_t length);

// Fills the 14-byte header at `buffer` for a payload of `length` bytes that
// already follows it, with sequence `sequence`, then stores the CRC of the
// whole datagram. Returns the datagram length (14 + length), or -1 when
// `buffer` is null or `length` exceeds 65535.
int vk_udp_set_header(void *buffer, uint16_t sequence, size_t length);

// The next process-wide sequence number: 0 first, 59999 is followed by 0.
uint16_t vl_vklogger_next_sequence(void);

// This host's name (gethostname, cut to 127 bytes) and its length; taken
// once per process.
const char *vl_vklogger_host_name(size_t *len);

// Writes the datagram prefix for `config` at `buffer` (capacity
// VKLOG_LINE_BUFFER_SIZE): header space, record type, the three names, the
// pid and the text-length slot. Returns the prefix length; the text goes
// right after it. Name lengths are limited to 255 (one length byte).
size_t vl_vklogger_set_packet_from_config(const vklog_config_t *config, char *buffer);

// Completes a datagram whose prefix of `packet_len` bytes was written by
// vl_vklogger_set_packet_from_config and whose text of `data_length` bytes
// follows it: stores the text length and the header (next sequence number,
// CRC). Returns the datagram length.
size_t vl_vklogger_set_packet_finish_from_config(const vklog_config_t *config, char *buffer,
                                                 size_t data_length, size_t packet_len);

// One parsed datagram; the pointers point into the parsed bytes.
typedef struct {
  uint32_t crc;
  uint16_t sequence;
  uint16_t payload_length;
  uint16_t record_type;
  const char *host;
  size_t host_len;
  const char *category;
  size_t category_len;
  const char *file;
  size_t file_len;
  uint64_t pid;
  const char *text;
  size_t text_len;
} vl_vklogger_record_t;

// Parses the layout of a datagram (magic and CRC are checked separately with
// the two checks above). Every length is checked against the bytes present:
// 0; -1 shorter than header and record type; -2 payload length field differs
// from the bytes after the header; -3 record type not 3; -4 host name, -5
// category name, -6 file name past the end; -7 pid or text length past the
// end; -8 text length differs from the bytes left. *out is valid only on 0.
int vl_vklogger_parse_packet(const void *data, size_t length, vl_vklogger_record_t *out);

#endif  // VKLOG_VKLOG_PACKET_H
