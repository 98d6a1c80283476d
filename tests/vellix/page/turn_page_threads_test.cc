#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "page/turn_page.h"
#include "vellix/page/mesh_check_helper.h"

namespace kestrin {
namespace GL {
namespace {

// Checks every curled mesh at the end of its build, while the frame still holds the page.
class CheckedPage : public CTurnPage {
 public:
  CheckedPage() : CTurnPage(0.5625f, 1.0f, 43, 24) {}
  void UpdateShadow(float k, float nx, float ny) override {
    CTurnPage::UpdateShadow(k, nx, ny);
    ++built;
    if (busy.load() != kUpdating && fault.empty())
      fault = "mesh built without holding the page";
    if (fault.empty())
      fault = CheckCurlMesh(*this);
  }
  std::string fault;
  int built = 0;
};

TEST(TurnPageThreadsTest, SetUpOnOneThreadWhileAnotherRendersLosesNoRequest) {
  CheckedPage page;
  std::atomic<bool> done(false);
  std::atomic<int> refused(0);
  int const kRequests = 1500;
  std::thread touch([&] {
    for (int n = 0; n < kRequests; ++n) {
      int kind = 3 + n % 8;  // 3..10
      int r = page.SetAnimation(kind, 0.5625f, 0.0f, 0.2f + 0.0001f * (n % 50), 0.3f, 1 + n % 3);
      // These kinds report a non-zero set-up result; 0 would mean the request was dropped.
      refused += r == 0 && (kind == 4 || kind == 6 || kind == 8 || kind == 10);
      if (n % 16 == 0)
        std::this_thread::yield();
    }
    done = true;
  });
  int frames = 0;
  while ((!done || frames < 10) && page.fault.empty()) {
    page.Update(0.5625f, 0.0f, 0.3f, 0.4f, 33);
    ++frames;
  }
  touch.join();
  EXPECT_EQ("", page.fault) << "frame " << frames;
  EXPECT_EQ(0, refused.load());
  EXPECT_EQ(CTurnPage::kFree, page.busy.load());
  EXPECT_GT(page.built, 0);
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
