// Heap allocation counter for bench/proxy, loaded into a proxy with LD_PRELOAD. It counts the
// calls of malloc, calloc, realloc, posix_memalign, aligned_alloc, memalign and free (C++'s new
// and delete reach them) into a file named by QV_ALLOC_COUNT_FILE, mapped shared, which the
// benchmark reads before and after a load run while the process goes on: two 64-bit counters,
// allocations then frees. Every call is passed on to the allocator that would have served it
// (glibc's, or one the program links, such as jemalloc).
#include <dlfcn.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using MallocFn = void* (*)(size_t);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);
using FreeFn = void (*)(void*);
using PosixMemalignFn = int (*)(void**, size_t, size_t);
using AlignedAllocFn = void* (*)(size_t, size_t);

MallocFn next_malloc;
CallocFn next_calloc;
ReallocFn next_realloc;
FreeFn next_free;
PosixMemalignFn next_posix_memalign;
AlignedAllocFn next_aligned_alloc;
AlignedAllocFn next_memalign;

uint64_t early_counts[2];
uint64_t* counts = early_counts;

// dlsym may allocate before the allocator is known: those few come from here, never freed.
alignas(16) char bootstrap[8192];
size_t bootstrap_used;
bool resolving;

void* Bootstrap(size_t n) {
  n = (n + 15) & ~static_cast<size_t>(15);
  if (bootstrap_used + n > sizeof(bootstrap))
    return nullptr;
  void* p = bootstrap + bootstrap_used;
  bootstrap_used += n;
  return p;
}

bool FromBootstrap(void* p) {
  return p >= bootstrap && p < bootstrap + sizeof(bootstrap);
}

void Resolve() {
  if (next_malloc != nullptr || resolving)
    return;
  resolving = true;
  next_calloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
  next_realloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
  next_free = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
  next_posix_memalign = reinterpret_cast<PosixMemalignFn>(dlsym(RTLD_NEXT, "posix_memalign"));
  next_aligned_alloc = reinterpret_cast<AlignedAllocFn>(dlsym(RTLD_NEXT, "aligned_alloc"));
  next_memalign = reinterpret_cast<AlignedAllocFn>(dlsym(RTLD_NEXT, "memalign"));
  next_malloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
  resolving = false;
}

inline void Count(int which) {
  __atomic_fetch_add(&counts[which], 1, __ATOMIC_RELAXED);
}

__attribute__((constructor)) void MapCounters() {
  Resolve();
  const char* path = getenv("QV_ALLOC_COUNT_FILE");
  if (path == nullptr || *path == '\0')
    return;
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  if (ftruncate(fd, sizeof(early_counts)) == 0) {
    void* map = mmap(nullptr, sizeof(early_counts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED)
      counts = static_cast<uint64_t*>(map);
  }
  close(fd);
}

}  // namespace

extern "C" {

void* malloc(size_t n) noexcept {
  Resolve();
  if (next_malloc == nullptr)
    return Bootstrap(n);
  Count(0);
  return next_malloc(n);
}

void* calloc(size_t count, size_t n) noexcept {
  Resolve();
  if (next_calloc == nullptr) {
    // Bootstrap memory is zero: it is static and never handed out twice.
    return n != 0 && count > SIZE_MAX / n ? nullptr : Bootstrap(count * n);
  }
  Count(0);
  return next_calloc(count, n);
}

void* realloc(void* p, size_t n) noexcept {
  Resolve();
  if (FromBootstrap(p)) {
    void* moved = malloc(n);
    const size_t room = static_cast<size_t>(bootstrap + sizeof(bootstrap) - static_cast<char*>(p));
    if (moved != nullptr)
      memcpy(moved, p, n < room ? n : room);
    return moved;
  }
  if (p == nullptr)
    Count(0);
  else if (n == 0)
    Count(1);
  return next_realloc(p, n);
}

void free(void* p) noexcept {
  if (p == nullptr || FromBootstrap(p))
    return;
  Resolve();
  Count(1);
  next_free(p);
}

int posix_memalign(void** out, size_t alignment, size_t n) noexcept {
  Resolve();
  Count(0);
  return next_posix_memalign(out, alignment, n);
}

void* aligned_alloc(size_t alignment, size_t n) noexcept {
  Resolve();
  Count(0);
  return next_aligned_alloc(alignment, n);
}

void* memalign(size_t alignment, size_t n) noexcept {
  Resolve();
  Count(0);
  return next_memalign(alignment, n);
}

}  // extern "C"
