#include "span_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qltool {
namespace {

constexpr size_t kBlock = 4096;
constexpr size_t kBuffer = size_t{4} << 20;  // whole blocks, written at once

// pwrite of all bytes (a write may be cut short); false (errno set) on an error.
bool write_all(int fd, const char* data, size_t bytes, off_t at) {
  while (bytes > 0) {
    const ssize_t n = pwrite(fd, data, bytes, at);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;  // a device that takes nothing more is full
    if (n <= 0) return false;
    data += n;
    bytes -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

}  // namespace

void FreeAligned::operator()(char* p) const {
  std::free(p);
}

AlignedBuffer aligned_buffer(size_t bytes) {
  void* p = nullptr;
  return AlignedBuffer(posix_memalign(&p, kBlock, bytes) == 0 ? static_cast<char*>(p) : nullptr);
}

bool SpanFile::create(const std::string& path, std::string* error) {
  close();
  buffered_fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (buffered_fd_ < 0) {
    *error = "cannot create '" + path + "': " + std::strerror(errno);
    return false;
  }
#ifdef O_DIRECT
  direct_fd_ = ::open(path.c_str(), O_WRONLY | O_DIRECT);  // -1 where refused: no matter
#endif
  return true;
}

void SpanFile::adopt(int fd) {
  close();
  buffered_fd_ = fd;
#ifdef O_DIRECT
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  direct_fd_ = ::open(self.c_str(), O_RDWR | O_DIRECT);
#endif
}

ssize_t SpanFile::read(char* buffer, size_t bytes, off_t at) const {
  if (direct_fd_ >= 0 && at % static_cast<off_t>(kBlock) == 0) {
    const size_t blocks = (bytes + kBlock - 1) / kBlock * kBlock;
    const ssize_t n = pread(direct_fd_, buffer, blocks, at);
    if (n >= 0) return n < static_cast<ssize_t>(bytes) ? n : static_cast<ssize_t>(bytes);
  }
  return pread(buffered_fd_, buffer, bytes, at);
}

bool SpanFile::close() {
  bool ok = true;
  if (direct_fd_ >= 0) ok = ::close(direct_fd_) == 0;
  if (buffered_fd_ >= 0) ok = ::close(buffered_fd_) == 0 && ok;
  direct_fd_ = buffered_fd_ = -1;
  return ok;
}

bool close_day_file(SpanFile* day, const std::string& path, std::string failure,
                    std::string* error) {
  if (!day->close() && failure.empty()) failure = std::strerror(errno);
  if (failure.empty()) return true;
  *error = "cannot write '" + path + "': " + failure;
  return false;
}

SpanWriter::SpanWriter(const SpanFile& file, off_t offset)
    : direct_fd_(file.direct_fd()),
      buffered_fd_(file.buffered_fd()),
      at_(offset),
      buffer_(aligned_buffer(kBuffer)),
      spare_(aligned_buffer(kBuffer)) {
  const size_t into_block = static_cast<size_t>(offset) % kBlock;
  head_ = into_block == 0 ? 0 : kBlock - into_block;
  ok_ = buffer_ != nullptr && spare_ != nullptr;
  if (!ok_) failure_ = ENOMEM;
}

SpanWriter::~SpanWriter() {
  if (busy_.valid()) busy_.wait();  // the buffers go only once no write reads them
}

bool SpanWriter::write(const void* data, size_t bytes) {
  const char* from = static_cast<const char*>(data);
  if (head_ > 0 && ok_) {
    // The bytes before the first block boundary share their block with the span before.
    const size_t n = bytes < head_ ? bytes : head_;
    ok_ = write_buffered(from, n, at_);
    at_ += static_cast<off_t>(n);
    head_ -= n;
    from += n;
    bytes -= n;
  }
  while (bytes > 0 && ok_) {
    const size_t n = bytes < kBuffer - used_ ? bytes : kBuffer - used_;
    std::memcpy(buffer_.get() + used_, from, n);
    used_ += n;
    from += n;
    bytes -= n;
    if (used_ == kBuffer) ok_ = hand_over_blocks(kBuffer);
  }
  return ok_;
}

bool SpanWriter::finish() {
  // The whole blocks go direct; the last part block through the page cache (the span after
  // shares it).
  const size_t whole = used_ / kBlock * kBlock;
  if (ok_ && whole > 0) ok_ = hand_over_blocks(whole);
  if (!wait_for_blocks()) ok_ = false;
  if (ok_ && used_ > 0) {
    ok_ = write_buffered(buffer_.get(), used_, at_);
    at_ += static_cast<off_t>(used_);
    used_ = 0;
  }
  return ok_;
}

// Hands the first `bytes` (whole blocks) of the buffer to a thread that writes them at at_,
// once the write before is done, and goes on in the spare buffer with the rest.
bool SpanWriter::hand_over_blocks(size_t bytes) {
  if (!wait_for_blocks()) return false;
  std::swap(buffer_, spare_);
  const char* full = spare_.get();
  const off_t at = at_;
  busy_ = std::async(std::launch::async,
                     [this, full, bytes, at] { return write_blocks(full, bytes, at); });
  std::memcpy(buffer_.get(), full + bytes, used_ - bytes);  // both only read `full`
  used_ -= bytes;
  at_ += static_cast<off_t>(bytes);
  return true;
}

bool SpanWriter::wait_for_blocks() {
  if (!busy_.valid()) return true;
  const int failed = busy_.get();
  if (failed == 0) return true;
  failure_ = failed;
  return false;
}

int SpanWriter::write_blocks(const char* data, size_t bytes, off_t at) {
  if (direct_fd_ >= 0) {
    if (write_all(direct_fd_, data, bytes, at)) return 0;
    // A file system may take O_DIRECT at open and refuse the write: use the page cache then.
    if (errno != EINVAL) return errno;
    direct_fd_ = -1;
  }
  return write_all(buffered_fd_, data, bytes, at) ? 0 : errno;
}

bool SpanWriter::write_buffered(const char* data, size_t bytes, off_t at) {
  if (write_all(buffered_fd_, data, bytes, at)) return true;
  failure_ = errno;
  return false;
}

}  // namespace qltool
