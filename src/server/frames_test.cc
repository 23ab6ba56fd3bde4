#include "server/frames.h"

#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace nivern_server {
namespace {

std::string frame(std::string_view body) {
  auto n = static_cast<std::uint32_t>(body.size());
  std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                  static_cast<char>(n)};
  return out + std::string(body);
}

// Feeds `input` through a pipe from another thread and reads frames until the end.
std::vector<FrameReader::Result> read_frames(const std::string& input) {
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
  std::thread feeder([&] {
    std::size_t off = 0;
    while (off < input.size()) {
      ssize_t n = ::write(fds[1], input.data() + off, input.size() - off);
      if (n <= 0) break;
      off += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
  });
  FrameReader reader(fds[0]);
  std::vector<FrameReader::Result> out;
  for (;;) {
    auto r = reader.next();
    bool stop = r.status != FrameReader::Status::frame && r.status != FrameReader::Status::oversized;
    out.push_back(std::move(r));
    if (stop) break;
  }
  feeder.join();
  ::close(fds[0]);
  return out;
}

TEST(FrameReader, SizesAcrossTheBufferBoundary) {
  std::string input;
  std::vector<std::string> bodies;
  for (std::size_t n : {0u, 1u, 8187u, 8188u, 8189u, 8191u, 8192u, 8193u, 16384u, 100000u, 3u}) {
    bodies.push_back(std::string(n, static_cast<char>('a' + n % 26)));
    input += frame(bodies.back());
  }
  auto got = read_frames(input);
  ASSERT_EQ(got.size(), bodies.size() + 1);
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    EXPECT_EQ(got[i].status, FrameReader::Status::frame);
    EXPECT_EQ(got[i].body, bodies[i]) << i;
  }
  EXPECT_EQ(got.back().status, FrameReader::Status::end);
}

TEST(FrameReader, EndsAndFaults) {
  EXPECT_EQ(read_frames("").back().status, FrameReader::Status::end);
  EXPECT_EQ(read_frames(std::string("\0\0\0", 3)).back().status, FrameReader::Status::end);
  auto cut = read_frames(frame("abcdef").substr(0, 7));
  EXPECT_EQ(cut.back().status, FrameReader::Status::fatal);
  EXPECT_EQ(cut.back().error, "failed to fill whole buffer");
  // One byte over the limit: read past, reported with its length, then the next frame.
  auto big = read_frames(std::string("\x04\x00\x00\x01", 4) + std::string(67108865, 'x') + frame("after"));
  ASSERT_EQ(big.size(), 3u);
  EXPECT_EQ(big[0].status, FrameReader::Status::oversized);
  EXPECT_EQ(big[0].size, 67108865u);
  EXPECT_TRUE(big[0].body.empty());
  EXPECT_EQ(big[1].body, "after");
  EXPECT_EQ(big[2].status, FrameReader::Status::end);
  auto big_cut = read_frames(std::string("\xFF\xFF\xFF\xFF", 4) + std::string(100000, 'x'));
  EXPECT_EQ(big_cut.back().error, "failed to fill whole buffer");
  auto limit = read_frames(std::string("\x04\x00\x00\x00", 4));  // at the limit: read, then cut short
  EXPECT_EQ(limit.back().error, "failed to fill whole buffer");
}

TEST(WriteFrame, RefusesOversizedBodiesWithoutWriting) {
  signal(SIGPIPE, SIG_IGN);  // as the server does: a closed reader is an error, not a signal
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  std::string huge(67108865, 'x');
  auto r = write_frame(fds[1], huge);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "frame of 67108865 bytes is over the 67108864 byte limit");
  char c;
  EXPECT_EQ(::read(fds[0], &c, 1), -1);  // nothing was written
  ASSERT_TRUE(write_frame(fds[1], "hi"));
  char buf[6];
  ASSERT_EQ(::read(fds[0], buf, 6), 6);
  EXPECT_EQ(std::string(buf, 6), std::string("\0\0\0\2hi", 6));
  ::close(fds[0]);
  auto broken = write_frame(fds[1], "x");
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error(), "Broken pipe (os error 32)");
  ::close(fds[1]);
}

}  // namespace
}  // namespace nivern_server
