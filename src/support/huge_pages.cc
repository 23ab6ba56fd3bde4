#include "support/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace nivern_support {

void advise_huge_pages(void* data, std::size_t size) {
  if (size < kHugeAdviceMin) return;
  constexpr std::uintptr_t page = 4096;
  auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(page - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // NOLINT(performance-no-int-to-ptr): page arithmetic
}

}  // namespace nivern_support
