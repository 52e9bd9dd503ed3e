// Packet framing shared by both agents, and the small socket and address
// helpers that live beside it.
//
// Every exchange with the collector travels over one TCP stream as framed
// packets: a 23-byte header (12-byte main header, 11-byte sub header, all
// integers big-endian) followed by the payload. This module builds headers
// and whole packets, recognises and receives them on a blocking socket, and
// offers a 3-byte short header that no traffic currently uses.
//
// State: only the header version byte (set once at start-up by the main
// thread before any packet is built, read afterwards by every thread).
// Everything else is reentrant and may be called from any thread.
#ifndef COMMON_INTERNAL_VK_COMM_H
#define COMMON_INTERNAL_VK_COMM_H

#include <net/if.h>
#include <stddef.h>
#include <stdint.h>

// Big-endian field access for the headers above.
inline void vk_put_be16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

inline void vk_put_be32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint16_t vk_get_be16(const uint8_t *p) {
  return static_cast<uint16_t>((static_cast<uint16_t>(p[0]) << 8) | p[1]);
}

inline uint32_t vk_get_be32(const uint8_t *p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Flag byte of the main header. Only NIO_FLAG_PROTOBUF is ever sent; the
// others exist so that a receiver can validate what arrives.
enum {
  NIO_FLAG_NONE = 0,
  NIO_FLAG_COMPRESS = 1,
  NIO_FLAG_ENCRYPT = 2,
  NIO_FLAG_PROTOBUF = 4,
};

#define NIO_MAGIC_0 0xF9
#define NIO_MAGIC_1 0xF2
#define NIO_MAGIC_2 0xF8
#define NIO_MAIN_HEADER_SIZE 12
#define NIO_SUB_HEADER_SIZE 11
#define NIO_HEADER_SIZE (NIO_MAIN_HEADER_SIZE + NIO_SUB_HEADER_SIZE)
#define OIO_HEADER_SIZE 3
#define OIO_PKT_TYPE 0xFF

// Size of the zeroed receive buffer of processing_socket / receive_*.
#define VK_COMM_RECV_BUFFER_SIZE 65535
// Once the first bytes of a header or body have arrived, the rest must
// follow within this time; a peer that stalls mid-packet gives an error
// instead of blocking the receiving thread for ever.
#define VK_COMM_RECV_STALL_MSEC 30000

#pragma pack(push, 1)
// Multi-byte fields hold big-endian values on the wire and in these records.
typedef struct {
  uint8_t magic_number[3];
  uint8_t header_version;
  uint8_t flag;
  uint8_t dummy[3];
  uint32_t body_length;  // sub header + payload
} pkt_nio_main_header;

typedef struct {
  uint16_t pkt_type;
  uint32_t pkt_id;
  uint8_t status;
  uint32_t body_version;
} pkt_nio_sub_header;

// A whole packet: main header, sub header, then the payload bytes.
typedef struct {
  pkt_nio_main_header main_header;
  pkt_nio_sub_header sub_header;
} pkt_nio_header;

typedef struct {
  uint8_t pkt_type;  // always OIO_PKT_TYPE
  uint16_t pkt_extend;
} pkt_oio_header;
#pragma pack(pop)

static_assert(sizeof(pkt_nio_main_header) == NIO_MAIN_HEADER_SIZE, "main header is 12 bytes");
static_assert(sizeof(pkt_nio_sub_header) == NIO_SUB_HEADER_SIZE, "sub header is 11 bytes");
static_assert(sizeof(pkt_nio_header) == NIO_HEADER_SIZE, "header is 23 bytes");
static_assert(sizeof(pkt_oio_header) == OIO_HEADER_SIZE, "short header is 3 bytes");

// The three magic bytes, in wire order.
extern const uint8_t g_nio_magic_number[3];

// Stores the version byte written by every later set_nio_main_header.
// Process-wide, initially 0; both agents set 2 during start-up.
void set_nio_header_version(uint8_t version);
uint8_t get_nio_header_version(void);

// Writes magic, the stored version, `flag`, three zero bytes and
// `body_size` (big-endian). Returns `header`; a null header does nothing
// (and returns null).
pkt_nio_main_header *set_nio_main_header(pkt_nio_main_header *header, uint8_t flag,
                                         uint32_t body_size);

// Writes the 11-byte sub header big-endian. A null header does nothing.
void set_nio_sub_header(pkt_nio_sub_header *header, uint16_t pkt_type, uint32_t pkt_id,
                        uint8_t status, uint32_t body_version);

// Writes 0xFF and `pkt_extend` big-endian. A null header does nothing.
void set_oio_header(pkt_oio_header *header, uint16_t pkt_extend);

// Allocates body_len + 23 bytes (malloc), writes the main header with
// body_length = body_len + 11, the sub header and, when both `body` and
// `body_len` are non-zero, the payload. Stores the block in *send_buf (the
// caller frees it) and returns its size. An empty body gives a bare 23-byte
// packet. Returns 0 with *send_buf null when the block cannot be allocated
// or body_len does not fit the 32-bit length field; 0 without touching
// anything for a null send_buf.
size_t wrap_packet_nio_header(uint8_t **send_buf, const void *body, size_t body_len, uint8_t flag,
                              uint16_t pkt_type, uint32_t pkt_id, uint8_t status,
                              uint32_t body_version);

// The same with the 3-byte short header; size body_len + 3.
size_t wrap_packet_oio_header(uint8_t **send_buf, const void *body, size_t body_len,
                              uint16_t pkt_type);

// 1 when the first three bytes of `data` are the magic, else 0 (also for
// null). REQUIRES: at least 3 readable bytes at a non-null `data`.
int is_nio_header(const void *data);

// Receives one packet from a blocking stream socket: the main header lands
// at the start of `buffer`, sub header and payload right behind it. Short
// receives are completed (a peer that stalls for VK_COMM_RECV_STALL_MSEC
// mid-packet counts as a failed receive). Returns the number of bytes
// after the main header (= body_length), or:
//   -1 missing buffer, or failed/closed receive of the main header;
//   -2 not a NIO header (magic mismatch);
//   -3 version other than 0 or 2;
//   -4 body length 0, negative as a signed value, or larger than
//      buffer_size - 12;
//   -5 failed/closed receive of the body;
//   -6 flag other than 0, 1, 2 or 4.
// On failure the buffer holds whatever was received.
int get_nio_packet(int sock, uint8_t *buffer, int buffer_size);

// Receives the 3-byte short header only. Returns the count received, -1 on
// a failed/closed receive (or missing buffer / buffer under 3 bytes), -2
// when the bytes begin with the NIO magic.
int get_oio_packet(int sock, uint8_t *buffer, int buffer_size);

// Handler of a received packet: `buffer` starts with the main header
// (payload at offset 23, payload length = body_length - 11).
typedef int (*vk_packet_handler_t)(uint8_t *buffer, void *handler_param);
typedef int (*vk_packet_expected_handler_t)(uint8_t *buffer, void *handler_param, int expected);

// Waits up to `timeout_sec` seconds for `sock` to become readable, receives
// one packet into a zeroed 65,535-byte buffer (NIO form when `use_nio` is
// non-zero, else the short form) and calls handler(buffer, handler_param).
// Returns the handler's result, 0 when there is no handler, -98 when the
// wait fails, -100 on time-out, -99 when the receive returned <= 0 or
// refused the packet.
int processing_socket(int sock, int use_nio, int timeout_sec, vk_packet_handler_t handler,
                      void *handler_param);

// As processing_socket with NIO framing but without the wait (blocks in the
// receive). -99 on a failed receive.
int receive_nio_packet(int sock, vk_packet_handler_t handler, void *handler_param);

// As receive_nio_packet, passing `expected` to the handler.
int receive_expected_nio_packet(int sock, vk_packet_expected_handler_t handler, void *handler_param,
                                int expected);

// Prints "[close_socket] sock[%ld],function[%s]\n" when pFuncName is given,
// shuts the socket down both ways and closes it. Returns close()'s result.
int vk_close_socket_debug(long sock_fd, const char *pFuncName);

// Writes the text of `domain` as an address into `ip` (ip_size bytes with
// the terminator): a literal IPv4/IPv6 address is copied, a name is
// resolved and its first address written. Returns 0; -1 when resolution
// fails ("Unknown host [%s]\n" printed); -2 when the address cannot be
// written as text or does not fit ("ip is wrong.[%s]\n" printed).
int getIPFromDomain(const char *domain, char *ip, size_t ip_size);

// Writes the binary address (4 bytes when the text contains a '.', else 16
// bytes of IPv6) followed by the port as two bytes, high byte first.
// Returns the bytes written (6 or 18), or -1 addr_size <= 17 (or a null
// argument), -2 address text of 64 characters or more, -3 address does not
// parse, -4 port text empty, not entirely decimal digits, or above 65535.
int convert_ip_port_to_addr(const char *str_ip, const char *str_port, uint8_t *addr,
                            size_t addr_size);

// Splits "address:port" at its last ':'; an IPv6 address (another ':'
// remains) must be enclosed in exactly one pair of brackets, which are
// removed. Then as convert_ip_port_to_addr. Returns 6 or 18, or -1 text of
// 64 bytes or more (or null), -2 no ':', -3 IPv6 address not enclosed in
// brackets, -4 any error of the conversion.
int convert_ip_str_to_addr(const char *ipaddr, size_t ipaddr_len, uint8_t *addr, size_t addr_size);

// -1 for interface "lo", -2 for address 0.0.0.0, -3 for 127.0.0.1, else 0
// (also 0 for null). The address is read from ifr_addr as IPv4.
int CheckIPAddr(const struct ifreq *ifr);

typedef struct {
  char if_name[128];
  char ip_str[64];
} vk_ip_item_t;

typedef struct {
  vk_ip_item_t *array;  // malloc'd; the caller frees it
  int count;
} vk_ip_info_t;

// Lists the host's IPv4 interfaces into ipInfo (array malloc'd, caller
// frees) and prints "[%d]name: %s, ip: %s\n" per entry. Returns 0 (also
// when the interfaces cannot be listed: then count is 0 and array null), -1
// for a null argument.
int get_ip_info(vk_ip_info_t *ipInfo);

#endif  // COMMON_INTERNAL_VK_COMM_H
