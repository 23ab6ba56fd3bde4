#pragma once
/// The outgoing side of the session: the frames queued for the writer thread, the
/// frame limit, and the budgets that bound what waits in the queue.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/byte_budget.h"
#include "support/channel.h"

namespace nivern_server {

/// One item of the outgoing queue: an encoded frame body, and the share of a producer's
/// byte budget that it holds (empty for replies). The writer drops the item once the
/// frame is written, which gives the share back and lets that producer read on.
struct Frame {
  std::string body;
  nivern_support::ByteBudget::Lease lease;
};

/// The memory a queued frame holds: its body's whole buffer (capacity, not length) and
/// its slot in the queue. Producers lease this much of their byte budget, so a budget
/// bounds memory rather than text.
inline std::size_t frame_cost(const std::string& body) {
  return body.capacity() + sizeof(Frame) + 16;
}

/// Sending end of the outgoing queue.
using Outgoing = nivern_support::Sender<Frame>;

/// Largest frame body accepted or sent.
inline constexpr std::uint64_t MAX_FRAME = 67'108'864;
/// Bytes of replies that may wait unwritten: past it, the loop reads no further requests
/// until the editor has taken enough of them.
inline constexpr std::size_t REPLY_BUDGET = 256u << 20;

}  // namespace nivern_server
