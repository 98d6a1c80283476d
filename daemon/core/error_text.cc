#include "core/error_text.h"

#include <string.h>

namespace {

// strerror_r comes in a GNU flavour (returns the text, which may or may not live in the buffer)
// and an XSI one (fills the buffer).
[[maybe_unused]] const char* PickErrorText(const char* gnu_text, const char*) {
  return gnu_text;
}
[[maybe_unused]] const char* PickErrorText(int xsi_result, const char* buf) {
  return xsi_result == 0 ? buf : "Unknown error";
}

}  // namespace

std::string ErrorText(int err) {
  char buf[256];
  buf[0] = '\0';
  return PickErrorText(strerror_r(err, buf, sizeof(buf)), buf);
}
