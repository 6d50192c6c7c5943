// Sole owner of one POSIX file descriptor.
#pragma once

namespace tolvenar {

// Owns one descriptor (or none, held as -1) and closes it when it leaves
// scope. Move-only: a moved-from UniqueFd owns nothing.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives the descriptor up without closing it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the descriptor held, if any, ignoring the result, and takes `fd`.
  void reset(int fd = -1);

  // Closes now and reports the result: 0, or the errno of the failed close
  // (also left in errno). A write the kernel had not yet finished can fail
  // only here, so callers that must know whether their bytes arrived check
  // it. The descriptor is given up either way; closing when none is held
  // reports EBADF, as close(-1) would.
  int Close();

 private:
  int fd_ = -1;
};

}  // namespace tolvenar
