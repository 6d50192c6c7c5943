#include "env/posix/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tolvenar {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Both ends of a fresh pipe, each owned.
struct Pipe {
  UniqueFd reader;
  UniqueFd writer;
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    reader.reset(fds[0]);
    writer.reset(fds[1]);
  }
};

TEST(UniqueFdTest, ClosesWhatItOwnsOnceAndOnlyThat) {
  Pipe pipe;
  const int fd = pipe.reader.get();
  {
    UniqueFd moved(std::move(pipe.reader));
    EXPECT_FALSE(pipe.reader.valid());
    UniqueFd assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.get(), fd);
    EXPECT_TRUE(IsOpen(fd));
  }
  EXPECT_FALSE(IsOpen(fd));

  const int kept = pipe.writer.release();
  EXPECT_FALSE(pipe.writer.valid());
  pipe.writer.reset();
  EXPECT_TRUE(IsOpen(kept));
  UniqueFd owner(kept);
  owner.reset();
  EXPECT_FALSE(IsOpen(kept));
}

TEST(UniqueFdTest, CloseReportsItsOwnResult) {
  Pipe pipe;
  const int fd = pipe.writer.get();
  EXPECT_EQ(pipe.writer.Close(), 0);
  EXPECT_FALSE(pipe.writer.valid());
  EXPECT_FALSE(IsOpen(fd));
  // Nothing held: reported as close(-1) would, not taken for success.
  errno = 0;
  EXPECT_EQ(pipe.writer.Close(), EBADF);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace tolvenar
