// Rendered pictures against committed reference PNGs.
#ifndef TESTS_VELLIX_BOOK_PICTURE_HELPER_H
#define TESTS_VELLIX_BOOK_PICTURE_HELPER_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace vellix_test {

// The current surface as RGBA bytes, top row first.
std::vector<uint8_t> ReadSurface(int w, int h);

// Every channel of every pixel within `tolerance` of references/<name>.png. On a mismatch the
// actual picture is written to <name>.actual.png in the working directory and named in the
// message. With VELLIX_UPDATE_REFERENCES set in the environment the reference is rewritten.
testing::AssertionResult MatchesReference(std::string const& name, int w, int h,
                                          std::vector<uint8_t> const& rgba, int tolerance = 4);

// 0xRRGGBBAA of pixel (x, y), y from the top.
uint32_t PixelAt(std::vector<uint8_t> const& rgba, int w, int x, int y);

}  // namespace vellix_test

#endif  // TESTS_VELLIX_BOOK_PICTURE_HELPER_H
