// vklog_crc32: the CRC-32 of the vklogger datagrams.
//
// The standard CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320,
// initial value 0xFFFFFFFF, final complement), table driven. Stateless; any
// thread may call it.
#ifndef VKLOG_VKLOG_CRC32_H
#define VKLOG_VKLOG_CRC32_H

#include <stddef.h>
#include <stdint.h>

// Returns the CRC of `length` bytes at `data` continued from `crc`, the
// result of an earlier call over the bytes before them (0 to start). So
// vl_crc32(vl_crc32(0, a, n), b, m) is the CRC of a followed by b. A null
// `data` leaves `crc` unchanged.
uint32_t vl_crc32(uint32_t crc, const void *data, size_t length);

#endif  // VKLOG_VKLOG_CRC32_H
