#pragma once
/// An allocator that takes whole pages straight from the system and gives them back on
/// release, so that a freed buffer leaves the process at once instead of lingering in a
/// thread's malloc arena. For large, short-lived buffers filled on one thread and freed
/// on another (the scan's batches) or grown on worker threads that are about to end.
///
/// Stateless: any thread may allocate, and any thread may release what another took.
/// Each allocation costs a system call and at least one page, so it is no fit for small
/// or numerous objects. Failure to map aborts through std::bad_alloc.
#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <vector>

namespace nivern_support {

template <class T>
struct PageAllocator {
  using value_type = T;
  PageAllocator() = default;
  template <class U>
  PageAllocator(const PageAllocator<U>&) {}
  T* allocate(std::size_t n) {
    void* p = ::mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) { ::munmap(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const PageAllocator<U>&) const {
    return true;
  }
};

template <class T>
using PageVector = std::vector<T, PageAllocator<T>>;

}  // namespace nivern_support
