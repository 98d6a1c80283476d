#ifndef DAEMON_NET_FREE_LIST_H
#define DAEMON_NET_FREE_LIST_H

#include <stddef.h>

#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_FREE_LIST_KEEPS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QV_FREE_LIST_KEEPS 0
#endif
#endif
#ifndef QV_FREE_LIST_KEEPS
#define QV_FREE_LIST_KEEPS 1
#endif

// Blocks of `kSize` bytes kept for reuse by the thread that gave them back, for objects made and
// destroyed once or more per request (a class's operator new and delete call Take and Give). At
// most `kKeep` blocks are kept; more go back to the allocator. Sanitizer builds always use the
// allocator, so that a use after free is still found.
template <size_t kSize, size_t kKeep = 256>
class FreeList {
 public:
  static void* Take(size_t n) {
#if QV_FREE_LIST_KEEPS
    Kept& kept = Local();
    if (n <= kSize && kept.head != nullptr) {
      Block* block = kept.head;
      kept.head = block->next;
      --kept.count;
      return block;
    }
#endif
    return ::operator new(n < kSize ? kSize : n);
  }

  static void Give(void* p, size_t n) {
    if (p == nullptr)
      return;
#if QV_FREE_LIST_KEEPS
    Kept& kept = Local();
    if (n <= kSize && kept.count < kKeep) {
      Block* block = static_cast<Block*>(p);
      block->next = kept.head;
      kept.head = block;
      ++kept.count;
      return;
    }
#endif
    (void)n;
    ::operator delete(p);
  }

 private:
  struct Block {
    Block* next;
  };
  static_assert(kSize >= sizeof(Block), "a block holds the link while it is kept");

  struct Kept {
    Block* head = nullptr;
    size_t count = 0;
    ~Kept() {
      while (head != nullptr) {
        Block* next = head->next;
        ::operator delete(head);
        head = next;
      }
    }
  };

  static Kept& Local() {
    static thread_local Kept kept;
    return kept;
  }
};

#endif  // DAEMON_NET_FREE_LIST_H
