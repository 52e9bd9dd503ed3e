// The pbwire runtime at its edges: workspace bounds, the encoder's buffer
// rule, varint forms, unknown and interleaved fields, every class of
// malformed input, truncation at every byte, and workspaces too small for
// what a message carries. Buffers are heap-allocated at their exact size so
// that the address sanitizer catches any access past them.
#include "pbwire.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "all_types.h"
#include "all_types_test_helpers.h"

namespace {

using bytes_t = std::vector<uint8_t>;

bytes_t varint(uint64_t value) {
  bytes_t out;
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
  return out;
}

bytes_t key(uint64_t field_number, int wire_type) {
  return varint((field_number << 3) | static_cast<uint64_t>(wire_type));
}

bytes_t cat(std::initializer_list<bytes_t> parts) {
  bytes_t out;
  for (const bytes_t &part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

bytes_t raw(std::initializer_list<int> values) {
  bytes_t out;
  for (int v : values) {
    out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

bytes_t text(const std::string &s) {
  return bytes_t(s.begin(), s.end());
}

// A length-delimited field.
bytes_t delimited(uint64_t field_number, const bytes_t &content) {
  return cat(
      {key(field_number, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED), varint(content.size()), content});
}

// Owns a workspace and an all_types message in it.
struct all_types_box {
  std::vector<char> workspace;
  all_types_t *message_p;
  explicit all_types_box(size_t size = 1 << 20) : workspace(size) {
    message_p = all_types_new(workspace.data(), workspace.size());
  }
};

bytes_t encode(const all_types_t *message_p) {
  bytes_t buffer(1 << 20);
  int length = all_types_encode(message_p, buffer.data(), buffer.size());
  EXPECT_GE(length, 0);
  buffer.resize(length < 0 ? 0 : static_cast<size_t>(length));
  return buffer;
}

// Decodes from an exact-size copy of `input`.
int decode(all_types_t *message_p, const bytes_t &input) {
  bytes_t exact(input);
  return all_types_decode(message_p, exact.empty() ? nullptr : exact.data(), exact.size());
}

TEST(PbwireErrors, TextsAcceptEitherSignAndNameUnknownCodes) {
  EXPECT_STREQ(pbwire_error_code_to_string(-4), "Encode buffer full");
  EXPECT_STREQ(pbwire_error_code_to_string(4), "Encode buffer full");
  EXPECT_STREQ(pbwire_error_code_to_string(0), "Ok");
  EXPECT_STREQ(pbwire_error_code_to_string(-8), "Length delimited overflow");
  EXPECT_STREQ(pbwire_error_code_to_string(9), "Unknown error");
  EXPECT_STREQ(pbwire_error_code_to_string(INT_MIN), "Unknown error");
}

TEST(PbwireWorkspace, NewRefusesWorkspacesThatCannotHoldHeaderAndMessage) {
  std::vector<char> workspace(1024);
  EXPECT_EQ(all_types_new(workspace.data(), 15), nullptr);
  EXPECT_EQ(all_types_new(nullptr, 1024), nullptr);
  EXPECT_EQ(all_types_new(workspace.data(), 16), nullptr);
  size_t exact = PBWIRE_HEAP_HEADER_SIZE + sizeof(all_types_t);
  EXPECT_EQ(all_types_new(workspace.data(), exact - 1), nullptr);
  all_types_t *message_p = all_types_new(workspace.data(), exact);
  ASSERT_NE(message_p, nullptr);
  EXPECT_STREQ(message_p->v_string_p, "");
  EXPECT_EQ(message_p->v_inner_p, nullptr);
  EXPECT_EQ(message_p->r_inner.length, 0);
  // Nothing is left for items.
  EXPECT_EQ(all_types_r_inner_alloc(message_p, 1), -1);
  EXPECT_EQ(message_p->r_inner.length, 0);
}

TEST(PbwireWorkspace, MisalignedWorkspaceIsAlignedAtTheCostOfTheGap) {
  std::vector<char> workspace(2048);
  char *odd_p = workspace.data() + 1;  // vector storage is 8-aligned
  size_t exact = PBWIRE_HEAP_HEADER_SIZE + sizeof(all_types_t);
  EXPECT_EQ(all_types_new(odd_p, exact), nullptr);
  all_types_t *message_p = all_types_new(odd_p, exact + 7);
  ASSERT_NE(message_p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(message_p) % 8, 0u);
}

TEST(PbwireWorkspace, AllocationsCountAlignmentGapsAndNeverPassTheEnd) {
  alignas(8) char workspace[32];
  pbwire_heap_t *heap_p = pbwire_heap_new(workspace, sizeof(workspace));
  ASSERT_NE(heap_p, nullptr);
  EXPECT_NE(pbwire_heap_alloc(heap_p, 1, 1), nullptr);  // pos 17
  char *p = static_cast<char *>(pbwire_heap_alloc(heap_p, 8, 8));
  ASSERT_NE(p, nullptr);  // gap 7, ends at 32
  EXPECT_EQ(p, workspace + 24);
  EXPECT_EQ(pbwire_heap_alloc(heap_p, 1, 1), nullptr);
  EXPECT_EQ(pbwire_heap_alloc(heap_p, SIZE_MAX, 1), nullptr);
  EXPECT_EQ(heap_p->pos, 32);
}

TEST(PbwireEncode, DefaultMessageEncodesToNothing) {
  all_types_box box;
  bytes_t one(1);
  EXPECT_EQ(all_types_encode(box.message_p, one.data(), one.size()), 0);
  EXPECT_EQ(all_types_encode(box.message_p, one.data(), 0), -PBWIRE_ENCODE_BUFFER_FULL);
}

TEST(PbwireEncode, BufferMustBeOneByteLargerThanTheEncoding) {
  all_types_box box;
  pbwire_test_rng_t rng;
  pbwire_test_rng_init(&rng, 7, true);
  all_types_test_fill(box.message_p, &rng);
  bytes_t reference = encode(box.message_p);
  ASSERT_GT(reference.size(), 100u);
  for (size_t size = 0; size <= reference.size(); size++) {
    bytes_t buffer(size);
    ASSERT_EQ(all_types_encode(box.message_p, buffer.data(), size), -PBWIRE_ENCODE_BUFFER_FULL)
        << size;
  }
  bytes_t buffer(reference.size() + 1, 0xee);
  ASSERT_EQ(all_types_encode(box.message_p, buffer.data(), buffer.size()),
            static_cast<int>(reference.size()));
  EXPECT_TRUE(std::equal(reference.begin(), reference.end(), buffer.begin()));
}

TEST(PbwireEncode, NegativeInt32AndEnumAreTenByteVarintsZigzagIsShort) {
  all_types_box box;
  box.message_p->v_int32 = -1;
  EXPECT_EQ(encode(box.message_p),
            cat({key(1, 0), raw({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01})}));
  box.message_p->v_int32 = 0;
  box.message_p->v_enum = _color_blue_e;
  bytes_t enum_bytes = encode(box.message_p);
  EXPECT_EQ(enum_bytes, cat({key(16, 0), varint(static_cast<uint64_t>(-3LL))}));
  EXPECT_EQ(enum_bytes.size(), 12u);
  box.message_p->v_enum = _color_none_e;
  box.message_p->v_sint32 = -1;
  box.message_p->v_sint64 = INT64_MIN;
  EXPECT_EQ(encode(box.message_p), cat({key(5, 0), raw({0x01}), key(6, 0), varint(UINT64_MAX)}));

  all_types_box back;
  EXPECT_EQ(decode(back.message_p, cat({key(1, 0), varint(static_cast<uint64_t>(-2LL)), enum_bytes,
                                        key(5, 0), raw({0x03})})),
            25);
  EXPECT_EQ(back.message_p->v_int32, -2);
  EXPECT_EQ(back.message_p->v_enum, _color_blue_e);
  EXPECT_EQ(back.message_p->v_sint32, -2);
}

TEST(PbwireEncode, VarintsOfEveryLengthAndKeyWidthMatchTheByteLoop) {
  // Both edges of every bit width, on one-, two- and five-byte keys, side by
  // side, so that each value is written next to bytes already in place.
  for (int bits = 1; bits <= 64; bits++) {
    for (uint64_t value : {1ULL << (bits - 1), bits == 64 ? UINT64_MAX : (1ULL << bits) - 1}) {
      all_types_box box;
      box.message_p->v_int64 = static_cast<int64_t>(value);
      box.message_p->v_uint32 = static_cast<uint32_t>(value);
      box.message_p->v_uint64 = value;
      box.message_p->v_sint64 = static_cast<int64_t>(value);
      box.message_p->v_field_max = value;
      ASSERT_EQ(all_types_r_uint64_alloc(box.message_p, 2), 0);
      box.message_p->r_uint64.items_p[0] = value;
      box.message_p->r_uint64.items_p[1] = value >> 1;
      uint32_t low = static_cast<uint32_t>(value);
      bytes_t packed = cat({varint(value), varint(value >> 1)});
      bytes_t expected =
          cat({key(2, 0), varint(value), low != 0 ? cat({key(3, 0), varint(low)}) : bytes_t{},
               key(4, 0), varint(value), key(6, 0),
               varint((value << 1) ^ static_cast<uint64_t>(static_cast<int64_t>(value) >> 63)),
               delimited(24, packed), key(536870911, 0), varint(value)});
      ASSERT_EQ(encode(box.message_p), expected) << "value " << value;
    }
  }
}

TEST(PbwireEncode, PresentSubMessageIsWrittenEvenWhenEmptyAbsentOneIsNot) {
  all_types_box box;
  EXPECT_TRUE(encode(box.message_p).empty());
  ASSERT_EQ(all_types_v_inner_alloc(box.message_p), 0);
  EXPECT_EQ(encode(box.message_p), cat({key(17, 2), raw({0x00})}));
}

TEST(PbwireEncode, NullStringsWriteAsEmptyInsteadOfCrashing) {
  all_types_box box;
  box.message_p->v_string_p = nullptr;
  ASSERT_EQ(all_types_r_string_alloc(box.message_p, 2), 0);
  box.message_p->r_string.items_p[0] = nullptr;
  box.message_p->r_string.items_p[1] = "x";
  EXPECT_EQ(encode(box.message_p), cat({delimited(34, {}), delimited(34, text("x"))}));
}

TEST(PbwireEncode, GenericRepeatedWriterMatchesTheGeneratedOne) {
  all_types_box box;
  ASSERT_EQ(all_types_r_inner_alloc(box.message_p, 3), 0);
  for (int i = 0; i < 3; i++) {
    box.message_p->r_inner.items_p[i].value = i - 1;
  }
  auto encode_inner = [](pbwire_encoder_t *encoder_p, const void *item_p) {
    all_types_inner_encode_inner(encoder_p, static_cast<const all_types_inner_t *>(item_p));
  };
  bytes_t generic(64);
  pbwire_encoder_t encoder;
  pbwire_encoder_init(&encoder, generic.data(), generic.size());
  pbwire_encode_repeated_inner(&encoder, 37, box.message_p->r_inner.items_p, 3,
                               sizeof(all_types_inner_t), encode_inner);
  int length = pbwire_encoder_get_result(&encoder);
  ASSERT_GT(length, 0);
  generic.resize(static_cast<size_t>(length));
  EXPECT_EQ(generic, encode(box.message_p));
}

TEST(PbwireDecode, UnknownFieldsOfEveryWireTypeAreSkipped) {
  bytes_t input =
      cat({key(99, 0), varint(UINT64_MAX), key(1, 0), raw({0x05}), key(98, 1),
           raw({1, 2, 3, 4, 5, 6, 7, 8}), delimited(97, text("skip me")), key(96, 5),
           raw({1, 2, 3, 4}), delimited(14, text("kept")), key(536870911 - 1, 0), raw({0x01})});
  all_types_box box;
  EXPECT_EQ(decode(box.message_p, input), static_cast<int>(input.size()));
  EXPECT_EQ(box.message_p->v_int32, 5);
  EXPECT_STREQ(box.message_p->v_string_p, "kept");
}

TEST(PbwireDecode, InterleavedRepeatedFieldsKeepTheirOrder) {
  auto inner = [](int value) { return delimited(37, cat({key(1, 0), varint(value)})); };
  bytes_t entry = cat({delimited(1, text("k")), delimited(2, text("v"))});
  bytes_t input =
      cat({inner(1), key(1, 0), raw({0x07}), delimited(21, raw({0x01, 0x02})), inner(2), key(21, 0),
           raw({0x03}), delimited(40, entry), delimited(34, text("a")), inner(3), key(77, 0),
           raw({0x00}), delimited(21, raw({})), delimited(21, raw({0x04})), delimited(34, text("")),
           delimited(34, text("b"))});
  all_types_box box;
  ASSERT_EQ(decode(box.message_p, input), static_cast<int>(input.size()));
  const all_types_t *m = box.message_p;
  ASSERT_EQ(m->r_inner.length, 3);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(m->r_inner.items_p[i].value, i + 1);
  }
  ASSERT_EQ(m->r_int32.length, 4);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(m->r_int32.items_p[i], i + 1);
  }
  ASSERT_EQ(m->r_string.length, 3);
  EXPECT_STREQ(m->r_string.items_p[0], "a");
  EXPECT_STREQ(m->r_string.items_p[1], "");
  EXPECT_STREQ(m->r_string.items_p[2], "b");
  ASSERT_EQ(m->m_string.length, 1);
  EXPECT_STREQ(m->m_string.items_p[0].key_p, "k");
  EXPECT_STREQ(m->m_string.items_p[0].value_p, "v");
  EXPECT_EQ(m->v_int32, 7);
}

struct malformed_case {
  const char *what;
  bytes_t input;
  int code;
};

TEST(PbwireDecode, MalformedInputFailsWithItsOwnCode) {
  const bytes_t ten_ff = raw({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
  const malformed_case cases[] = {
      {"field number 0", raw({0x00, 0x01}), PBWIRE_BAD_FIELD_NUMBER},
      {"field number 0, wire type 7", raw({0x07}), PBWIRE_BAD_FIELD_NUMBER},
      {"field number above 2^29-1", cat({key(1ULL << 29, 0), raw({0x01})}),
       PBWIRE_BAD_FIELD_NUMBER},
      {"key wider than 32 bits", cat({varint(1ULL << 40)}), PBWIRE_BAD_FIELD_NUMBER},
      {"wire type 3", cat({key(99, 3)}), PBWIRE_BAD_WIRE_TYPE},
      {"wire type 4", cat({key(99, 4)}), PBWIRE_BAD_WIRE_TYPE},
      {"wire type 6", cat({key(99, 6), raw({0x00})}), PBWIRE_BAD_WIRE_TYPE},
      {"wire type 7", cat({key(1, 7)}), PBWIRE_BAD_WIRE_TYPE},
      {"11-byte varint value", cat({key(1, 0), ten_ff, raw({0x01})}), PBWIRE_VARINT_OVERFLOW},
      {"11-byte key", cat({ten_ff, raw({0x01})}), PBWIRE_VARINT_OVERFLOW},
      {"11-byte varint skipped", cat({key(99, 0), ten_ff, raw({0x01})}), PBWIRE_VARINT_OVERFLOW},
      {"varint cut by the end", cat({key(2, 0), raw({0xff, 0xff})}), PBWIRE_OUT_OF_DATA},
      {"key cut by the end", raw({0x80}), PBWIRE_OUT_OF_DATA},
      {"length past the end", cat({key(14, 2), varint(5), text("abc")}), PBWIRE_OUT_OF_DATA},
      {"unknown length past the end", cat({key(99, 2), varint(5), text("abc")}),
       PBWIRE_OUT_OF_DATA},
      {"length 2^31-1", cat({key(14, 2), varint(INT32_MAX), text("abc")}),
       PBWIRE_LENGTH_DELIMITED_OVERFLOW},
      {"length 2^64-1", cat({key(15, 2), varint(UINT64_MAX)}), PBWIRE_LENGTH_DELIMITED_OVERFLOW},
      {"huge length of a repeated message", cat({key(37, 2), varint(INT32_MAX - 1)}),
       PBWIRE_OUT_OF_DATA},
      {"fixed32 cut by the end", cat({key(7, 5), raw({1, 2})}), PBWIRE_OUT_OF_DATA},
      {"fixed64 cut by the end", cat({key(12, 1), raw({1, 2, 3, 4, 5, 6, 7})}), PBWIRE_OUT_OF_DATA},
      {"unknown fixed64 cut by the end", cat({key(99, 1), raw({1})}), PBWIRE_OUT_OF_DATA},
      {"int32 sent length-delimited", cat({key(1, 2), raw({0x00})}), PBWIRE_BAD_WIRE_TYPE},
      {"string sent as varint", cat({key(14, 0), raw({0x01})}), PBWIRE_BAD_WIRE_TYPE},
      {"bytes sent as fixed32", cat({key(15, 5), raw({1, 2, 3, 4})}), PBWIRE_BAD_WIRE_TYPE},
      {"sub-message sent as varint", cat({key(17, 0), raw({0x01})}), PBWIRE_BAD_WIRE_TYPE},
      {"fixed32 sent as varint", cat({key(7, 0), raw({0x01})}), PBWIRE_BAD_WIRE_TYPE},
      {"double sent as fixed32", cat({key(12, 5), raw({1, 2, 3, 4})}), PBWIRE_BAD_WIRE_TYPE},
      {"repeated message sent as varint", cat({key(37, 0), raw({0x01})}), PBWIRE_BAD_WIRE_TYPE},
      {"repeated int32 sent as fixed32", cat({key(21, 5), raw({1, 2, 3, 4})}),
       PBWIRE_BAD_WIRE_TYPE},
      {"repeated string sent as varint", cat({key(34, 0), raw({0x01})}), PBWIRE_BAD_WIRE_TYPE},
      {"packed varints cut inside a value", delimited(21, raw({0x81, 0x81})), PBWIRE_OUT_OF_DATA},
      {"packed fixed32 of 6 bytes", delimited(27, raw({1, 2, 3, 4, 5, 6})), PBWIRE_OUT_OF_DATA},
      {"packed fixed64 of 4 bytes", delimited(28, raw({1, 2, 3, 4})), PBWIRE_OUT_OF_DATA},
      {"11-byte varint in a packed field", delimited(21, cat({ten_ff, raw({0x01})})),
       PBWIRE_VARINT_OVERFLOW},
      // The bytes after the sub-message would complete its varint: the
      // slice must stop the read at the sub-message's own length.
      {"sub-message varint cut by its length",
       cat({key(17, 2), varint(2), key(1, 0), raw({0xff}), raw({0x01})}), PBWIRE_OUT_OF_DATA},
      {"sub-message string longer than the sub-message",
       cat({key(17, 2), varint(3), key(2, 2), varint(5), text("abcdefgh")}), PBWIRE_OUT_OF_DATA},
      {"bad wire type inside a repeated item",
       cat({delimited(37, raw({0x08, 0x01})), delimited(37, cat({key(2, 0), raw({0x01})}))}),
       PBWIRE_BAD_WIRE_TYPE},
      {"bad field number inside a map entry", delimited(40, raw({0x00})), PBWIRE_BAD_FIELD_NUMBER},
      {"first error wins", cat({key(1, 2), raw({0x00}), key(14, 2), varint(100)}),
       PBWIRE_BAD_WIRE_TYPE},
  };
  for (const malformed_case &c : cases) {
    all_types_box box;
    EXPECT_EQ(decode(box.message_p, c.input), -c.code) << c.what;
    // Whatever failed, no string field is left null.
    EXPECT_NE(box.message_p->v_string_p, nullptr) << c.what;
  }
}

TEST(PbwireDecode, EveryTruncationFailsOrEndsAtAFieldBoundary) {
  std::vector<char> workspace(1 << 20);
  all_types_outer_t *full_p = all_types_outer_new(workspace.data(), workspace.size());
  pbwire_test_rng_t rng;
  pbwire_test_rng_init(&rng, 11, true);
  all_types_outer_test_fill(full_p, &rng);
  bytes_t buffer(1 << 20);
  int length = all_types_outer_encode(full_p, buffer.data(), buffer.size());
  ASSERT_GT(length, 1000);
  std::vector<char> back_workspace(1 << 20);
  int failures = 0;
  for (int cut = 0; cut < length; cut++) {
    bytes_t prefix(buffer.begin(), buffer.begin() + cut);
    all_types_outer_t *back_p = all_types_outer_new(back_workspace.data(), back_workspace.size());
    int result = all_types_outer_decode(back_p, prefix.data(), prefix.size());
    ASSERT_TRUE(result == cut || result < 0) << "cut " << cut << " result " << result;
    failures += result < 0;
  }
  // Only cuts at the start of a top-level field (single, each item, tail)
  // decode; every other cut is inside a field and must fail.
  EXPECT_LE(length - failures, 2 + full_p->items.length);
}

// A list that does not fit its workspace fails the decode; an empty list
// would pass for the sender's whole list.
TEST(PbwireDecode, RepeatedMessagesThatDoNotFitFailOutOfMemory) {
  bytes_t input = cat({key(1, 0), raw({0x09})});
  for (int i = 0; i < 100; i++) {
    input = cat({input, delimited(37, cat({key(1, 0), varint(i + 1)}))});
  }
  input = cat({input, delimited(14, text("after"))});
  size_t room_for_50 =
      PBWIRE_HEAP_HEADER_SIZE + sizeof(all_types_t) + 50 * sizeof(all_types_inner_t);
  all_types_box box(room_for_50 + 64);
  ASSERT_NE(box.message_p, nullptr);
  EXPECT_EQ(decode(box.message_p, input), -PBWIRE_OUT_OF_MEMORY);
  EXPECT_EQ(box.message_p->r_inner.length, 0);

  all_types_box roomy;
  ASSERT_EQ(decode(roomy.message_p, input), static_cast<int>(input.size()));
  ASSERT_EQ(roomy.message_p->r_inner.length, 100);
  EXPECT_EQ(roomy.message_p->r_inner.items_p[99].value, 100);
  EXPECT_STREQ(roomy.message_p->v_string_p, "after");
}

TEST(PbwireDecode, ScalarsStringsAndBytesThatDoNotFitFailOutOfMemory) {
  size_t bare = PBWIRE_HEAP_HEADER_SIZE + sizeof(all_types_t);
  bytes_t packed;
  for (int i = 0; i < 64; i++) {
    packed.push_back(0x01);
  }
  all_types_box scalars(bare + 64);
  EXPECT_EQ(decode(scalars.message_p, delimited(22, packed)), -PBWIRE_OUT_OF_MEMORY);
  EXPECT_EQ(scalars.message_p->r_int64.length, 0);

  all_types_box strings(bare + 16);
  EXPECT_EQ(decode(strings.message_p, cat({delimited(34, text("x")), delimited(34, text("y")),
                                           delimited(34, text("z"))})),
            -PBWIRE_OUT_OF_MEMORY);

  // A string that does not fit leaves the shared empty string, never null,
  // and the fields decoded before it keep their values.
  all_types_box one_string(bare + 8);
  EXPECT_EQ(decode(one_string.message_p,
                   cat({key(1, 0), raw({0x03}), delimited(14, text("twelve bytes"))})),
            -PBWIRE_OUT_OF_MEMORY);
  EXPECT_EQ(one_string.message_p->v_int32, 3);
  ASSERT_NE(one_string.message_p->v_string_p, nullptr);
  EXPECT_STREQ(one_string.message_p->v_string_p, "");

  all_types_box one_bytes(bare + 4);
  EXPECT_EQ(decode(one_bytes.message_p, delimited(15, text("twelve bytes"))),
            -PBWIRE_OUT_OF_MEMORY);
  EXPECT_EQ(one_bytes.message_p->v_bytes.size, 0u);
}

TEST(PbwireDecode, LastOccurrenceOfASingularFieldWins) {
  bytes_t input =
      cat({key(1, 0), raw({0x01}), delimited(14, text("first")),
           delimited(17, cat({key(1, 0), raw({0x05})})), key(1, 0), raw({0x02}),
           delimited(14, text("second")), delimited(17, cat({key(2, 2), raw({0x00})}))});
  all_types_box box;
  ASSERT_EQ(decode(box.message_p, input), static_cast<int>(input.size()));
  EXPECT_EQ(box.message_p->v_int32, 2);
  EXPECT_STREQ(box.message_p->v_string_p, "second");
  ASSERT_NE(box.message_p->v_inner_p, nullptr);
  EXPECT_EQ(box.message_p->v_inner_p->value, 0);
}

TEST(PbwireDecode, DecodingAgainStartsFromDefaults) {
  all_types_box box;
  ASSERT_GT(decode(box.message_p, cat({key(1, 0), raw({0x01}), delimited(37, raw({})),
                                       delimited(14, text("old"))})),
            0);
  ASSERT_EQ(decode(box.message_p, cat({key(2, 0), raw({0x02})})), 2);
  EXPECT_EQ(box.message_p->v_int32, 0);
  EXPECT_EQ(box.message_p->v_int64, 2);
  EXPECT_EQ(box.message_p->r_inner.length, 0);
  EXPECT_STREQ(box.message_p->v_string_p, "");
}

TEST(PbwireDecode, InputOfTwoGigabytesIsRefusedWithoutReading) {
  all_types_box box;
  uint8_t one = 0x08;
  EXPECT_EQ(all_types_decode(box.message_p, &one, size_t{1} << 31),
            -PBWIRE_LENGTH_DELIMITED_OVERFLOW);
  EXPECT_EQ(all_types_decode(box.message_p, nullptr, 0), 0);
  EXPECT_EQ(all_types_decode(box.message_p, nullptr, 5), -PBWIRE_OUT_OF_DATA);
}

TEST(PbwireDecode, FloatingValuesKeepEveryBit) {
  all_types_box box;
  box.message_p->v_double = -0.0 + 5e-324;
  box.message_p->v_float = -1e-45f;
  ASSERT_EQ(all_types_r_double_alloc(box.message_p, 2), 0);
  box.message_p->r_double.items_p[0] = -0.0;
  box.message_p->r_double.items_p[1] = 1e308;
  all_types_box back;
  bytes_t bytes = encode(box.message_p);
  ASSERT_EQ(decode(back.message_p, bytes), static_cast<int>(bytes.size()));
  EXPECT_EQ(back.message_p->v_double, 5e-324);
  EXPECT_EQ(back.message_p->v_float, -1e-45f);
  ASSERT_EQ(back.message_p->r_double.length, 2);
  EXPECT_TRUE(std::signbit(back.message_p->r_double.items_p[0]));
  EXPECT_EQ(back.message_p->r_double.items_p[1], 1e308);
}

}  // namespace
