#include "vfs/search/search_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

#include "text/byte_decoders.h"

namespace nivern_vfs::search {

void SearchReader::reset(int fd) {
  fd_ = fd;
  form_ = Form::unknown;
  eof_ = false;
  at_start_ = false;
  pending_.clear();
}

std::expected<std::size_t, int> SearchReader::read_raw(char* dst, std::size_t capacity) {
  if (eof_) return 0;
  for (;;) {
    const ssize_t n = ::read(fd_, dst, capacity);
    if (n >= 0) {
      if (n == 0) eof_ = true;
      return static_cast<std::size_t>(n);
    }
    if (errno != EINTR) return std::unexpected(errno);
  }
}

std::expected<std::size_t, int> SearchReader::read(char* dst, std::size_t capacity) {
  assert(capacity >= MIN_READ);
  switch (form_) {
    case Form::raw:
      return read_raw(dst, capacity);
    case Form::utf16le:
    case Form::utf16be:
      return read_utf16(dst, capacity);
    case Form::unknown:
      break;
  }
  // First read: enough bytes to see a byte-order mark, or the whole file if shorter.
  std::size_t got = 0;
  while (got < 3 && !eof_) {
    auto n = read_raw(dst + got, capacity - got);
    if (!n) return n;
    got += *n;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(dst);
  if (got >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    form_ = Form::raw;
    std::memmove(dst, dst + 3, got - 3);
    if (got == 3) return read_raw(dst, capacity);
    return got - 3;
  }
  if (got >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
    form_ = b[0] == 0xFF ? Form::utf16le : Form::utf16be;
    at_start_ = true;
    pending_.assign(dst + 2, got - 2);
    return read_utf16(dst, capacity);
  }
  form_ = Form::raw;
  return got;
}

std::expected<std::size_t, int> SearchReader::read_utf16(char* dst, std::size_t capacity) {
  // Each code unit becomes at most 3 bytes (a surrogate pair 4 bytes for 2 units), so
  // this much input always fits.
  const std::size_t max_in = capacity / 3 * 2;
  for (;;) {
    if (!eof_ && pending_.size() < max_in) {
      const std::size_t old = pending_.size();
      pending_.resize(max_in);
      auto n = read_raw(pending_.data() + old, max_in - old);
      pending_.resize(old + (n ? *n : 0));
      if (!n) return n;
    }
    if (pending_.empty()) return 0;
    std::size_t take = 0;
    if (eof_ && pending_.size() <= max_in) {
      take = pending_.size();  // the decoder turns a dangling byte or surrogate into U+FFFD
    } else {
      take = std::min(pending_.size(), max_in) & ~std::size_t{1};
      if (take >= 2) {
        // Keep a lead surrogate back so that it is decoded with its trail.
        const auto hi =
            static_cast<unsigned char>(pending_[take - (form_ == Form::utf16le ? 1 : 2)]);
        if (hi >= 0xD8 && hi <= 0xDB) take -= 2;
      }
      if (take == 0) continue;  // not one whole unit yet: read on
    }
    const std::string out = nivern_text::decode_utf16(std::string_view(pending_).substr(0, take),
                                                      form_ == Form::utf16le);
    pending_.erase(0, take);
    std::string_view text = out;
    if (at_start_) {
      // The decoder takes one U+FEFF right after the mark as a mark too.
      at_start_ = false;
      if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
      if (text.empty()) continue;
    }
    assert(text.size() <= capacity);
    std::memcpy(dst, text.data(), text.size());
    return text.size();
  }
}

}  // namespace nivern_vfs::search
