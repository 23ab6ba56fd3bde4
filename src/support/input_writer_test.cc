#include "support/input_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/stop_signal.h"

namespace nivern_support {
namespace {

using Put = InputWriter::Put;

struct PipeWriter {
  UniqueFd read_end;
  int write_end = -1;
  StopSignal stop;
  std::shared_ptr<InputWriter> writer;

  explicit PipeWriter(std::size_t limit) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_end.reset(fds[0]);
    write_end = fds[1];
    ::fcntl(write_end, F_SETFL, O_NONBLOCK);
    writer = InputWriter::make({.fd = write_end,
                                .owned = UniqueFd(fds[1]),
                                .attached = {},
                                .limit = limit,
                                .thread_name = "nivern-test-in",
                                .waiter = [this] {
                                  return InputWriter::Waiter{stop.fd(), {}, -1};
                                }});
  }
  // Reads until end of file.
  std::string read_all() const {
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(read_end.get(), buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }
};

TEST(InputWriter, QueuesWhatThePipeCannotTakeBoundedAndInOrder) {
  const std::size_t pipe_size = static_cast<std::size_t>(::fcntl(PipeWriter(1).read_end.get(), F_GETPIPE_SZ));
  PipeWriter p(3 * pipe_size);  // at most 2 * pipe_size waits after the first put
  // Nothing waits: taken whatever its size, the rest queued for the thread.
  const std::string first(3 * pipe_size, 'a');
  ASSERT_EQ(p.writer->put(first), Put::done);
  // Something waits: refused past the limit, with nothing queued; taken below it.
  EXPECT_EQ(p.writer->put(std::string(2 * pipe_size, 'x')), Put::refused);
  EXPECT_EQ(p.writer->put("bc"), Put::done);
  p.writer->close(false);  // ends once everything is written
  EXPECT_EQ(p.read_all(), first + "bc");
  EXPECT_EQ(p.writer->put("d"), Put::failed);
}

TEST(InputWriter, GivesUpWhenToldDroppingWhatWaits) {
  PipeWriter p(1 << 20);
  const std::size_t pipe_size = static_cast<std::size_t>(::fcntl(p.read_end.get(), F_GETPIPE_SZ));
  ASSERT_EQ(p.writer->put(std::string(2 * pipe_size, 'a')), Put::done);
  p.stop.raise();  // the child's end: the writer stops waiting for room
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (p.writer->put("") != Put::failed && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_EQ(p.writer->put("b"), Put::failed);
  // The write end is closed and the rest dropped: end of file after what the pipe took.
  EXPECT_EQ(p.read_all(), std::string(pipe_size, 'a'));
}

}  // namespace
}  // namespace nivern_support
