#pragma once
/// Asks the kernel to back a large, freshly allocated buffer with huge pages, so that
/// filling it costs a few hundred page faults instead of tens of thousands. Advice only:
/// harmless when the kernel ignores it. Any thread.
#include <cstddef>

namespace nivern_support {

/// Buffers smaller than this are left alone.
inline constexpr std::size_t kHugeAdviceMin = 4u << 20;

void advise_huge_pages(void* data, std::size_t size);

}  // namespace nivern_support
