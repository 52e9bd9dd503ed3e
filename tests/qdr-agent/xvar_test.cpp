// The growable byte buffer: the growth rule, writes at offsets, and a failed
// growth that must leave the buffer untouched.
#include "xvar.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>

// A failed growth is provoked with sizes no allocator can serve; let the
// address sanitizer's allocator report those as null like malloc does.
extern "C" const char *__asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

struct xvar_holder {
  xvar *v;
  explicit xvar_holder(size_t n) : v(xvar_new(n)) {}
  ~xvar_holder() { xvar_destroy(v); }
};

std::string contents(const xvar *v) {
  return std::string(reinterpret_cast<char *>(v->data), v->length);
}

TEST(Xvar, GrowthRoundsDownToTheStepAndAddsOne) {
  EXPECT_EQ(xvar_grow_size(100), 128u);
  EXPECT_EQ(xvar_grow_size(128), 256u);
  EXPECT_EQ(xvar_grow_size(300), 384u);
  EXPECT_EQ(xvar_grow_size(0), 128u);
  EXPECT_EQ(xvar_grow_size(SIZE_MAX), 0u);  // overflow is reported, not wrapped
}

TEST(Xvar, NewBufferHasTheRoomAskedFor) {
  xvar_holder h(10);
  ASSERT_NE(h.v, nullptr);
  EXPECT_EQ(h.v->size, 10u);
  EXPECT_EQ(h.v->length, 0u);
  xvar_holder empty(0);
  ASSERT_NE(empty.v, nullptr);
  EXPECT_EQ(empty.v->size, 0u);
  EXPECT_EQ(empty.v->data, nullptr);
  EXPECT_EQ(xvar_add_data("", 0, empty.v), 0);  // 0 bytes on a new buffer keep length 0
  EXPECT_EQ(empty.v->length, 0u);
}

TEST(Xvar, AppendsGrowAndKeepTheBytes) {
  xvar_holder h(4);
  EXPECT_EQ(xvar_add_data("abc", 3, h.v), 3);
  EXPECT_EQ(h.v->size, 4u);
  EXPECT_EQ(xvar_add_data("defg", 4, h.v), 7);  // needs 7 > 4: grows to 128
  EXPECT_EQ(h.v->size, 128u);
  EXPECT_EQ(contents(h.v), "abcdefg");
  std::string big(200, 'z');
  EXPECT_EQ(xvar_add_data(big.data(), big.size(), h.v), 207);
  EXPECT_EQ(h.v->size, 256u);
  EXPECT_EQ(contents(h.v), "abcdefg" + big);
}

TEST(Xvar, NullDataOnlyGrowsTheLength) {
  xvar_holder h(0);
  EXPECT_EQ(xvar_add_data(nullptr, 5, h.v), 5);
  EXPECT_EQ(h.v->size, 128u);
  EXPECT_EQ(contents(h.v), std::string(5, '\0'));  // a grown block starts zeroed
  EXPECT_EQ(xvar_add_data("x", 1, h.v), 6);
  EXPECT_EQ(h.v->data[5], 'x');
}

TEST(Xvar, WriteAtOffsetsExtendsOrOverwrites) {
  xvar_holder h(8);
  EXPECT_EQ(xvar_add_data("hello", 5, h.v), 5);
  EXPECT_EQ(xvar_add_data_at("J", 1, 0, h.v), 5);  // inside: length kept
  EXPECT_EQ(contents(h.v), "Jello");
  EXPECT_EQ(xvar_add_data_at("!!", 2, 4, h.v), 6);  // straddles the end
  EXPECT_EQ(contents(h.v), "Jell!!");
  EXPECT_EQ(xvar_add_data_at("end", 3, 300, h.v), 303);  // far past the end
  EXPECT_EQ(h.v->size, 384u);
  EXPECT_EQ(memcmp(h.v->data + 300, "end", 3), 0);
  EXPECT_EQ(h.v->data[100], 0);
}

TEST(Xvar, FailedGrowthWritesNothing) {
  xvar_holder h(16);
  ASSERT_EQ(xvar_add_data("keep", 4, h.v), 4);
  uint8_t *block = h.v->data;
  // More than any machine can allocate, and a size that overflows.
  EXPECT_EQ(xvar_add_data_at("x", 1, static_cast<size_t>(1) << 52, h.v), XVAR_ERR_NO_MEMORY);
  EXPECT_EQ(xvar_add_data_at("x", 1, SIZE_MAX, h.v), XVAR_ERR_NO_MEMORY);
  EXPECT_EQ(xvar_add_data(nullptr, SIZE_MAX - 2, h.v), XVAR_ERR_NO_MEMORY);
  EXPECT_EQ(h.v->data, block);
  EXPECT_EQ(h.v->size, 16u);
  EXPECT_EQ(contents(h.v), "keep");
  EXPECT_EQ(xvar_add_data("x", 1, nullptr), XVAR_ERR_ARGUMENT);
  EXPECT_EQ(xvar_add_data_at("x", 1, 0, nullptr), XVAR_ERR_ARGUMENT);
}

TEST(Xvar, ClearingKeepsOrDropsTheBlock) {
  xvar_holder h(0);
  xvar_add_data("abc", 3, h.v);
  xvar_clear_data(h.v);
  EXPECT_EQ(h.v->length, 0u);
  EXPECT_EQ(h.v->size, 128u);
  xvar_clear(h.v);
  EXPECT_EQ(h.v->size, 0u);
  EXPECT_EQ(h.v->data, nullptr);
  xvar_clear(h.v);                             // twice is harmless
  EXPECT_EQ(xvar_add_data("abc", 3, h.v), 3);  // still usable
  xvar_clear(nullptr);
  xvar_clear_data(nullptr);
  xvar_destroy(nullptr);
}

}  // namespace
