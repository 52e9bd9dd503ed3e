// Helpers shared by the two halves of the pbwire runtime (pbwire.cpp and
// pbwire_repeated.cpp). Not for message code, which uses pbwire.h only.
// Same threading rules as pbwire.h.
#ifndef PBWIRE_PBWIRE_INTERNAL_H
#define PBWIRE_PBWIRE_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "pbwire.h"

// Careful backwards writers: each checks the room left before every write
// and fails the encoder with -PBWIRE_ENCODE_BUFFER_FULL.
void pbwire_encoder_put_varint(pbwire_encoder_t *encoder_p, uint64_t value);
void pbwire_encoder_put_fixed32(pbwire_encoder_t *encoder_p, uint32_t value);
void pbwire_encoder_put_fixed64(pbwire_encoder_t *encoder_p, uint64_t value);

// A string (strlen bytes; null writes as empty), bytes or sub-message field
// written even when empty.
void pbwire_encoder_put_string_field(pbwire_encoder_t *encoder_p, int field_number,
                                     const char *value_p);
void pbwire_encoder_put_bytes_field(pbwire_encoder_t *encoder_p, int field_number,
                                    const pbwire_bytes_t *value_p);
void pbwire_encoder_put_sub_message(pbwire_encoder_t *encoder_p, int field_number,
                                    const void *message_p, pbwire_encode_inner_t encode_inner);

// Sets the decoder's error to -code unless it already has one.
void pbwire_decoder_fail(pbwire_decoder_t *decoder_p, int code);

// Moves by `offset` bytes: -PBWIRE_SEEK_OVERFLOW when the target does not
// fit a position, -PBWIRE_OUT_OF_DATA when it is past the end.
void pbwire_decoder_seek(pbwire_decoder_t *decoder_p, int64_t offset);

// Reads the length of a length-delimited field and checks it against the
// input that remains, so that callers may copy or skip that many bytes.
// The length, or -1 with the decoder failed (-PBWIRE_LENGTH_DELIMITED_OVERFLOW
// for 2^31 - 1 or more, -PBWIRE_OUT_OF_DATA past the end).
int32_t pbwire_decoder_read_length(pbwire_decoder_t *decoder_p);

// A decoder over the next `length` bytes (already checked to remain); the
// caller continues with pbwire_decoder_leave_slice(), which takes over the
// slice's error or moves past its end.
pbwire_decoder_t pbwire_decoder_slice(const pbwire_decoder_t *decoder_p, int32_t length);
void pbwire_decoder_leave_slice(pbwire_decoder_t *decoder_p, const pbwire_decoder_t *slice_p);

#endif  // PBWIRE_PBWIRE_INTERNAL_H
