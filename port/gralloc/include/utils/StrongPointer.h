// Host replacement for Android's strong pointer: holds one strong reference to an object with
// incStrong and decStrong.
#ifndef PORT_UTILS_STRONG_POINTER_H
#define PORT_UTILS_STRONG_POINTER_H

namespace android {

template <typename T>
class sp {
 public:
  sp() : p_(nullptr) {}
  sp(T* p) : p_(p) {  // NOLINT: converts like Android's sp
    if (p_ != nullptr)
      p_->incStrong(this);
  }
  sp(sp const& o) : sp(o.p_) {}
  ~sp() { clear(); }
  sp& operator=(sp const& o) { return *this = o.p_; }
  sp& operator=(T* p) {
    if (p != nullptr)
      p->incStrong(this);
    T* old = p_;
    p_ = p;
    if (old != nullptr)
      old->decStrong(this);
    return *this;
  }
  void clear() { *this = static_cast<T*>(nullptr); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_;
};

}  // namespace android

#endif  // PORT_UTILS_STRONG_POINTER_H
