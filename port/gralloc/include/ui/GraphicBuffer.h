// Host replacement for Android's graphic buffer: pixels in ordinary memory that software locks
// for writing and unlocks when done. An EGL image made from the buffer (gralloc/egl_image.h)
// takes the new pixels the next time it is bound after an unlock.
#ifndef PORT_UI_GRAPHIC_BUFFER_H
#define PORT_UI_GRAPHIC_BUFFER_H

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <vector>

#include <utils/StrongPointer.h>

struct ANativeWindowBuffer;

namespace android {

typedef int32_t status_t;
enum {
  NO_ERROR = 0,
  NO_MEMORY = -12,
  BAD_VALUE = -22,
  INVALID_OPERATION = -38,
};
enum { PIXEL_FORMAT_RGBA_8888 = 1 };
enum {
  GRALLOC_USAGE_SW_WRITE_OFTEN = 0x30,
  GRALLOC_USAGE_HW_TEXTURE = 0x100,
};

class GraphicBuffer {
 public:
  GraphicBuffer(uint32_t width, uint32_t height, int format, uint32_t usage);
  GraphicBuffer(GraphicBuffer const&) = delete;
  GraphicBuffer& operator=(GraphicBuffer const&) = delete;

  // NO_ERROR when the memory exists (RGBA_8888 only, non-empty size).
  status_t initCheck() const;
  uint32_t getWidth() const { return width_; }
  uint32_t getHeight() const { return height_; }
  // Pixels per row.
  uint32_t getStride() const { return width_; }
  int getPixelFormat() const { return format_; }

  // *vaddr receives the pixels; every lock needs an unlock. Locks nest.
  status_t lock(uint32_t usage, void** vaddr);
  status_t unlock();
  ANativeWindowBuffer* getNativeBuffer();

  void incStrong(void const* id) const;
  void decStrong(void const* id) const;

  // For the EGL image: calls `copy(pixels)` when the pixels changed since the last call and no
  // lock is held, so a texture never reads a half-written page.
  template <typename Copy>
  bool TakeChanges(Copy copy) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!dirty_ || locks_ > 0)
      return false;
    copy(pixels_.data());
    dirty_ = false;
    return true;
  }

 private:
  ~GraphicBuffer();

  uint32_t width_;
  uint32_t height_;
  int format_;
  std::vector<uint32_t> pixels_;
  std::mutex mutex_;
  int locks_;
  bool dirty_;
  mutable std::atomic<int> refs_;
  ANativeWindowBuffer* native_;
};

}  // namespace android

// What an EGL image is made from.
struct ANativeWindowBuffer {
  android::GraphicBuffer* buffer;
};

#endif  // PORT_UI_GRAPHIC_BUFFER_H
