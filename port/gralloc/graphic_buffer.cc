#include <ui/GraphicBuffer.h>

namespace android {

GraphicBuffer::GraphicBuffer(uint32_t width, uint32_t height, int format, uint32_t)
    : width_(width),
      height_(height),
      format_(format),
      locks_(0),
      // The first bind uploads whatever the buffer holds.
      dirty_(true),
      refs_(0),
      native_(new ANativeWindowBuffer{this}) {
  if (initCheck() == NO_ERROR)
    pixels_.assign(static_cast<size_t>(width) * height, 0u);
}

GraphicBuffer::~GraphicBuffer() {
  delete native_;
}

status_t GraphicBuffer::initCheck() const {
  if (format_ != PIXEL_FORMAT_RGBA_8888 || width_ == 0 || height_ == 0 || width_ > 16384 ||
      height_ > 16384)
    return BAD_VALUE;
  return NO_ERROR;
}

status_t GraphicBuffer::lock(uint32_t, void** vaddr) {
  if (pixels_.empty())
    return NO_MEMORY;
  std::lock_guard<std::mutex> hold(mutex_);
  ++locks_;
  if (vaddr != nullptr)
    *vaddr = pixels_.data();
  return NO_ERROR;
}

status_t GraphicBuffer::unlock() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (locks_ <= 0)
    return INVALID_OPERATION;
  --locks_;
  dirty_ = true;
  return NO_ERROR;
}

ANativeWindowBuffer* GraphicBuffer::getNativeBuffer() {
  return native_;
}

void GraphicBuffer::incStrong(void const*) const {
  refs_.fetch_add(1, std::memory_order_relaxed);
}

void GraphicBuffer::decStrong(void const*) const {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete this;
}

}  // namespace android
