// vklogger: a small log collector for the remote output of the logging
// library. It listens on one UDP port, validates each datagram (magic,
// CRC-32, record layout) with the library's own checks and prints one line
// per good datagram:
//
//   [host][category][file][pid] text
//
// on standard output (and appended to a file with -o). Bad datagrams are
// counted, reported on standard error and dropped. SIGINT or SIGTERM ends it
// with a summary of the counts on standard error.
//
// Usage: vklogger [-p PORT] [-b ADDR] [-n COUNT] [-o FILE]
//   -p PORT   UDP port, default 10010 (0 picks a free port; the port in use
//             is printed on standard error)
//   -b ADDR   IPv4 address to bind, default 127.0.0.1 (0.0.0.0 for all)
//   -n COUNT  exit after COUNT good datagrams
//   -o FILE   also append the lines to FILE
//
// One thread: the main loop polls the socket in 200 ms slices so that a
// signal ends it promptly.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <string_view>

#include "vklog.h"
#include "vklog_packet.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
  g_stop = 1;
}

struct vklogger_options {
  uint16_t port = VKLOG_DEFAULT_VKLOGGER_PORT;
  const char *bind_addr = "127.0.0.1";
  unsigned long long count = 0;  // 0: no limit
  const char *out_file = nullptr;
};

struct vklogger_state {
  int sock = -1;
  FILE *out = nullptr;
  unsigned long long good = 0;
  unsigned long long bad = 0;
};

// Reports the first bad datagrams one by one, then every 1000th, so that a
// flood of garbage does not flood standard error.
constexpr unsigned long long kBadReportAll = 50;
constexpr unsigned long long kBadReportEvery = 1000;

void usage(FILE *f) {
  fprintf(f, "usage: vklogger [-p PORT] [-b ADDR] [-n COUNT] [-o FILE]\n");
}

bool parse_number(const char *text, unsigned long long max, unsigned long long *out) {
  std::string_view v(text);
  unsigned long long n = 0;
  auto r = std::from_chars(v.data(), v.data() + v.size(), n);
  if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size() || n > max) return false;
  *out = n;
  return true;
}

// 0, or 2 for a usage error (message printed).
int parse_options(int argc, char **argv, vklogger_options *o) {
  int opt;
  unsigned long long n = 0;
  while ((opt = getopt(argc, argv, "p:b:n:o:h")) != -1) {
    switch (opt) {
      case 'p':
        if (!parse_number(optarg, 65535, &n)) {
          fprintf(stderr, "vklogger: bad port [%s]\n", optarg);
          return 2;
        }
        o->port = static_cast<uint16_t>(n);
        break;
      case 'b':
        o->bind_addr = optarg;
        break;
      case 'n':
        if (!parse_number(optarg, UINT64_MAX, &n) || n == 0) {
          fprintf(stderr, "vklogger: bad count [%s]\n", optarg);
          return 2;
        }
        o->count = n;
        break;
      case 'o':
        o->out_file = optarg;
        break;
      case 'h':
        usage(stdout);
        exit(0);
      default:
        usage(stderr);
        return 2;
    }
  }
  if (optind != argc) {
    usage(stderr);
    return 2;
  }
  return 0;
}

// Binds the UDP socket; the socket, or -1 with a message.
int open_socket(const vklogger_options &o) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(o.port);
  if (inet_pton(AF_INET, o.bind_addr, &sa.sin_addr) != 1) {
    fprintf(stderr, "vklogger: bad bind address [%s]\n", o.bind_addr);
    return -1;
  }
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    fprintf(stderr, "vklogger: socket: %s\n", strerror(errno));
    return -1;
  }
  int size = 4 * 1024 * 1024;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  if (bind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) != 0) {
    fprintf(stderr, "vklogger: bind %s:%u: %s\n", o.bind_addr, o.port, strerror(errno));
    close(s);
    return -1;
  }
  socklen_t len = sizeof(sa);
  getsockname(s, reinterpret_cast<struct sockaddr *>(&sa), &len);
  fprintf(stderr, "vklogger: listening on %s:%u\n", o.bind_addr, ntohs(sa.sin_port));
  return s;
}

// Copies `n` bytes to `out` with control characters shown as '.'.
size_t put_clean(char *out, const char *s, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    out[i] = (c < 0x20 || c == 0x7f) ? '.' : static_cast<char>(c);
  }
  return n;
}

const char *bad_reason(int stage, int rc) {
  if (stage == 0) return rc == -5 ? "too short" : "bad magic";
  if (stage == 1) return "bad CRC";
  switch (rc) {
    case -1:
      return "too short";
    case -2:
      return "payload length differs from datagram";
    case -3:
      return "unknown record type";
    case -4:
      return "host name past the end";
    case -5:
      return "category name past the end";
    case -6:
      return "file name past the end";
    case -7:
      return "pid or text length past the end";
    default:
      return "text length differs from datagram";
  }
}

void report_bad(vklogger_state *st, const struct sockaddr_in &from, ssize_t n, const char *why) {
  st->bad++;
  if (st->bad <= kBadReportAll || st->bad % kBadReportEvery == 0) {
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, addr, sizeof(addr));
    fprintf(stderr, "vklogger: dropped datagram %llu from %s:%u (%zd bytes): %s\n", st->bad, addr,
            ntohs(from.sin_port), n, why);
  }
}

// Validates and prints one datagram of `n` bytes at `buf` (modified: the CRC
// field is zeroed for the check).
void handle_datagram(vklogger_state *st, unsigned char *buf, ssize_t n,
                     const struct sockaddr_in &from) {
  size_t len = static_cast<size_t>(n);
  int rc = vk_udp_check_magic(buf, len);
  if (rc != 0 || len < VKLOG_UDP_HEADER_SIZE) {
    report_bad(st, from, n, bad_reason(0, rc != 0 ? rc : -5));
    return;
  }
  uint32_t crc = (static_cast<uint32_t>(buf[4]) << 24) | (static_cast<uint32_t>(buf[5]) << 16) |
                 (static_cast<uint32_t>(buf[6]) << 8) | buf[7];
  memset(buf + 4, 0, 4);
  if (vk_udp_check_crc(crc, buf, len) != 0) {
    report_bad(st, from, n, bad_reason(1, -1));
    return;
  }
  vl_vklogger_record_t r;
  rc = vl_vklogger_parse_packet(buf, len, &r);
  if (rc != 0) {
    report_bad(st, from, n, bad_reason(2, rc));
    return;
  }
  size_t text_len = r.text_len;
  while (text_len > 0 && (r.text[text_len - 1] == '\n' || r.text[text_len - 1] == '\r')) text_len--;
  // Names are at most 255 bytes each, the text at most 65535.
  static char line[4 * 256 + 64 + 65536];
  size_t o = 0;
  line[o++] = '[';
  o += put_clean(line + o, r.host, r.host_len);
  line[o++] = ']';
  line[o++] = '[';
  o += put_clean(line + o, r.category, r.category_len);
  line[o++] = ']';
  line[o++] = '[';
  o += put_clean(line + o, r.file, r.file_len);
  o += static_cast<size_t>(
      snprintf(line + o, 40, "][%llu] ", static_cast<unsigned long long>(r.pid)));
  // Lines of a multi-line text stay in one output line.
  o += put_clean(line + o, r.text, text_len);
  line[o++] = '\n';
  fwrite(line, 1, o, stdout);
  fflush(stdout);
  if (st->out != nullptr) {
    fwrite(line, 1, o, st->out);
    fflush(st->out);
  }
  st->good++;
}

}  // namespace

int main(int argc, char **argv) {
  vklogger_options o;
  int rc = parse_options(argc, argv, &o);
  if (rc != 0) return rc;
  vklogger_state st;
  if (o.out_file != nullptr) {
    st.out = fopen(o.out_file, "a");
    if (st.out == nullptr) {
      fprintf(stderr, "vklogger: cannot open %s: %s\n", o.out_file, strerror(errno));
      return 1;
    }
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  st.sock = open_socket(o);
  if (st.sock < 0) {
    if (st.out != nullptr) fclose(st.out);
    return 1;
  }
  static unsigned char buf[65536];
  while (!g_stop && (o.count == 0 || st.good < o.count)) {
    struct pollfd pfd = {st.sock, POLLIN, 0};
    int pr = poll(&pfd, 1, 200);
    if (pr <= 0) continue;
    struct sockaddr_in from;
    socklen_t flen = sizeof(from);
    memset(&from, 0, sizeof(from));
    ssize_t n = recvfrom(st.sock, buf, sizeof(buf), MSG_DONTWAIT,
                         reinterpret_cast<struct sockaddr *>(&from), &flen);
    if (n < 0) continue;
    handle_datagram(&st, buf, n, from);
  }
  fprintf(stderr, "vklogger: good %llu bad %llu\n", st.good, st.bad);
  close(st.sock);
  if (st.out != nullptr) fclose(st.out);
  return 0;
}
