// The collector link's inbound reassembler (dg_receive_packet, declared in
// dgcomm.h). Runs on DG_Comm only, on the connection's reassembly state.
#include "dgcomm.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vk_comm.h"
#include "vklog.h"

namespace {

// One receive into the held data. Nothing available yet is reported as -1
// with EAGAIN, which the caller treats as "try again later".
ssize_t recv_some(int sock, uint8_t *dst, size_t len) {
  for (;;) {
    ssize_t r = recv(sock, dst, len, MSG_DONTWAIT);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

bool would_block(int err) {
  return err == EAGAIN || err == EWOULDBLOCK;
}

// Gives the whole pages of the first `used` bytes of the reassembly buffer
// back to the system; they read as zero when touched again. One large
// packet would otherwise keep its pages resident for the rest of the run.
void release_used_pages(data_buffer_t *rb, uint64_t used) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t start = reinterpret_cast<uintptr_t>(rb->buffer);
  uintptr_t first = (start + page - 1) & ~(page - 1);
  uintptr_t end = (start + used) & ~(page - 1);
  if (end > first) madvise(reinterpret_cast<void *>(first), end - first, MADV_DONTNEED);
}

// One round of the reassembler: at most one receive for the header and
// one for the body of the packet being assembled. *dispatched tells whether
// a complete packet was handed on.
int dg_receive_round(struct dg_conn *pdgconn, bool *dispatched) {
  *dispatched = false;
  data_buffer_t *rb = &pdgconn->recv_buffer;
  int sock = pdgconn->sock.load();

  // 1. Complete the main header.
  if (rb->length < NIO_MAIN_HEADER_SIZE) {
    ssize_t r = recv_some(sock, rb->buffer + rb->length, NIO_MAIN_HEADER_SIZE - rb->length);
    pdgconn->last_recv_ret_val = static_cast<int>(r);
    if (r < 0) {
      if (would_block(errno)) return 0;
      int err = errno;
      VKLOG(g_vklog, VL_ERROR, "[dg_receive_packet] recv failed. [(%d)(%s)%s]\n", err,
            strerror(err), pdgconn->sz_ip);
      return -2;
    }
    rb->length += static_cast<uint32_t>(r);
    if (r > 0) pdgconn->recv_progress_msec = pdgconn->ops.monotonic_msec();
    if (rb->length < NIO_MAIN_HEADER_SIZE) return 0;
  }

  pkt_main_header_t *head = reinterpret_cast<pkt_main_header_t *>(rb->buffer);
  // 2. Validate the header once per packet.
  if (pdgconn->is_chk_header == 0) {
    if (memcmp(head->magic_number, g_nio_magic_number, 3) != 0) {
      VKLOG(g_vklog, VL_ERROR,
            "[dg_receive_packet] Invalid packet(magic number is not match)[sock:%d,len:%u]\n", sock,
            rb->length);
      if (_recovery_data_buffer(rb) != 0) {
        VKLOG(g_vklog, VL_ERROR, "[dg_receive_packet] packet recovery has failed.[sock:%d]\n",
              sock);
        return -3;
      }
      VKLOG(g_vklog, VL_INFO, "[dg_receive_packet] packet recovery successful.[sock:%d,len:%u]\n",
            sock, rb->length);
      if (rb->length < NIO_MAIN_HEADER_SIZE) return 0;
    }
    uint32_t body_length = vk_get_be32(rb->buffer + 8);
    head->body_length = body_length;
    VKLOG(g_vklog, VL_DEBUG, "HEAD value version %d, sub+body len %u\n", head->version,
          body_length);
    if (head->version != DG_PKT_HEADER_VERSION) {
      VKLOG(g_vklog, VL_ERROR,
            "[dg_receive_packet] Invalid packet(version is not match)(cur version: %d)\n",
            head->version);
      return -4;
    }
    if (body_length == 0) {
      VKLOG(g_vklog, VL_ERROR, "[dg_receive_packet] Invalid packet(body length is worng[%hu])\n",
            static_cast<unsigned short>(body_length));
      return -5;
    }
    // A body shorter than the sub header would hand the dispatcher a
    // negative payload length; a packet larger than the buffer would be
    // written past its end.
    if (body_length < NIO_SUB_HEADER_SIZE || body_length > rb->size - NIO_MAIN_HEADER_SIZE) {
      VKLOG(g_vklog, VL_ERROR,
            "[dg_receive_packet] Invalid packet(body length is out of range[%u])\n", body_length);
      return -5;
    }
    pdgconn->is_chk_header = 1;
  }

  // 3. Receive what the packet still lacks, never more.
  uint32_t want = head->body_length + NIO_MAIN_HEADER_SIZE;
  uint32_t remain = want - rb->length;
  ssize_t r = recv_some(sock, rb->buffer + rb->length, remain);
  pdgconn->last_recv_ret_val = static_cast<int>(r);
  VKLOG(g_vklog, VL_DEBUG, "recv value [body length:%d][recv length:%d][remain:%d] \n",
        static_cast<int>(head->body_length), static_cast<int>(rb->length),
        static_cast<int>(remain));
  VKLOG(g_vklog, VL_DEBUG, "2.recieve data[sock:%d][remain:%d][ret:%d]\n", sock,
        static_cast<int>(remain), static_cast<int>(r));
  if (r < 0) {
    if (would_block(errno)) return 0;
    VKLOG(g_vklog, VL_ERROR, "[dg_receive_packet] recv failed. (%d)\n", errno);
    return -6;
  }
  rb->length += static_cast<uint32_t>(r);
  if (r > 0) pdgconn->recv_progress_msec = pdgconn->ops.monotonic_msec();

  // 4. Dispatch a complete packet and start the next one.
  if (rb->length != want) return 0;
  const uint8_t *sub = rb->buffer + NIO_MAIN_HEADER_SIZE;
  uint16_t type = vk_get_be16(sub);
  VKLOG(g_vklog, VL_DEBUG, "[dg_receive_packet] receive packet type:(%hu)[%s]\n", type,
        dg_recv_packet_type_name(type));
  uint32_t body_length = head->body_length;
  rb->length = 0;
  pdgconn->is_chk_header = 0;
  if (pdgconn->callbacks.packet_handler != nullptr) {
    pdgconn->callbacks.packet_handler(sub, body_length);
  } else {
    VKLOG(g_vklog, VL_INFO,
          "[dg_receive_packet] no handler for packets, dropped.(type:%hu[%s],len:%u)\n", type,
          dg_recv_packet_type_name(type), body_length);
  }
  if (want > DG_RECV_RELEASE_MIN) release_used_pages(rb, want);
  *dispatched = true;
  return 0;
}

// Packets taken in one call when the socket keeps delivering: the next one
// is tried without another readiness wait, but the connection manager
// still gets to check its state regularly.
constexpr int kPacketsPerCall = 64;

}  // namespace

int dg_receive_packet(struct dg_conn *pdgconn) {
  if (pdgconn == nullptr) return -1;
  for (int i = 0; i < kPacketsPerCall; i++) {
    bool dispatched = false;
    int r = dg_receive_round(pdgconn, &dispatched);
    if (r != 0 || !dispatched || pdgconn->reconnect_flag.load() != 0) return r;
  }
  return 0;
}
