#include <gtest/gtest.h>

#include <algorithm>

#include "book/virtual_book.h"

namespace kestrin {
namespace GL {
namespace {

// The book's drag state and texture ring without GL: no texture is made.
TEST(VirtualBookTest, DragEntryPointsAndTheSlotRing) {
  CVirtualBook book(0.75f, 1.0f, 0.0f, false);
  int const slots[4] = {book.slotIndex[0], book.slotIndex[1], book.slotIndex[2], book.slotIndex[3]};
  book.ShiftIndex(1);
  book.ShiftIndex(-1);
  EXPECT_TRUE(std::equal(slots, slots + 4, book.slotIndex));
  // A release without a touch starts nothing; nor does a second release after one.
  book.CurlEnd(true, 1);
  EXPECT_EQ(0, book.turnPage->animationKind.load());
  EXPECT_TRUE(book.idle);
  book.CurlBegin(0.7f, 0.1f, true);
  book.Curling(0.0f, 0.5f);
  EXPECT_FLOAT_EQ(0.0f, book.curPoint.x) << "a forward drag is not stretched";
  book.Curling(0.4f, 0.5f);
  book.CurlEnd(true, 1);
  EXPECT_EQ(CTurnPage::kCompleteTurn, book.turnPage->animationKind.load());
  book.turnPage->animationKind = 0;
  book.CurlEnd(true, 1);
  EXPECT_EQ(0, book.turnPage->animationKind.load());
  // A backward drag starts at the outer edge and stretches the finger near the spine.
  book.CurlBegin(0.1f, 0.5f, false);
  EXPECT_FLOAT_EQ(0.75f, book.startPoint.x);
  book.Curling(0.0f, 0.5f);
  EXPECT_FLOAT_EQ(0.3f * 0.75f - 0.6f * 0.75f * (0.5f * 0.75f + 0.7f), book.curPoint.x);

  // A long time factor (Java's 64-bit time) reaches the page as a long on every target.
  book.CurlBegin(0.7f, 0.1f, true);
  book.Curling(0.5f, 0.4f);
  book.CurlEnd(true, 2);
  EXPECT_EQ(2, book.turnPage->animationParam);
  // A turn forward and back leaves the ring where it was.
  book.ChangePage(1);
  book.ChangePage(-1);
  EXPECT_TRUE(std::equal(slots, slots + 4, book.slotIndex));
  EXPECT_EQ(1, book.ringIndex);
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
