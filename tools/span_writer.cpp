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

// pwrite of all bytes (a write may be cut short); false on an error.
bool write_all(int fd, const char* data, size_t bytes, off_t at) {
  while (bytes > 0) {
    const ssize_t n = pwrite(fd, data, bytes, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    bytes -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

}  // namespace

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

bool SpanFile::close() {
  bool ok = true;
  if (direct_fd_ >= 0) ok = ::close(direct_fd_) == 0;
  if (buffered_fd_ >= 0) ok = ::close(buffered_fd_) == 0 && ok;
  direct_fd_ = buffered_fd_ = -1;
  return ok;
}

SpanWriter::SpanWriter(const SpanFile& file, off_t offset)
    : direct_fd_(file.direct_fd()), buffered_fd_(file.buffered_fd()), at_(offset) {
  const size_t into_block = static_cast<size_t>(offset) % kBlock;
  head_ = into_block == 0 ? 0 : kBlock - into_block;
  void* p = nullptr;
  buffer_ = posix_memalign(&p, kBlock, kBuffer) == 0 ? static_cast<char*>(p) : nullptr;
  ok_ = buffer_ != nullptr;
  if (!ok_) failure_ = ENOMEM;
}

SpanWriter::~SpanWriter() {
  std::free(buffer_);
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
    std::memcpy(buffer_ + used_, from, n);
    used_ += n;
    from += n;
    bytes -= n;
    if (used_ == kBuffer) ok_ = flush_blocks(kBuffer);
  }
  return ok_;
}

bool SpanWriter::finish() {
  if (!ok_) return false;
  // The whole blocks go direct; the last part block through the page cache (the span after
  // shares it).
  const size_t whole = used_ / kBlock * kBlock;
  const size_t rest = used_ - whole;
  if (whole > 0 && !flush_blocks(whole)) return ok_ = false;
  if (rest > 0) {
    ok_ = write_buffered(buffer_, rest, at_);
    at_ += static_cast<off_t>(rest);
    used_ = 0;
  }
  return ok_;
}

// Writes the first `bytes` (whole blocks) of the buffer at at_ and keeps the rest.
bool SpanWriter::flush_blocks(size_t bytes) {
  bool written = false;
  if (direct_fd_ >= 0) {
    written = write_all(direct_fd_, buffer_, bytes, at_);
    // A file system may take O_DIRECT at open and refuse the write: use the page cache then.
    if (!written && errno == EINVAL) direct_fd_ = -1;
  }
  if (!written && direct_fd_ < 0) written = write_all(buffered_fd_, buffer_, bytes, at_);
  if (!written) {
    failure_ = errno;
    return false;
  }
  at_ += static_cast<off_t>(bytes);
  std::memmove(buffer_, buffer_ + bytes, used_ - bytes);
  used_ -= bytes;
  return true;
}

bool SpanWriter::write_buffered(const char* data, size_t bytes, off_t at) {
  if (write_all(buffered_fd_, data, bytes, at)) return true;
  failure_ = errno;
  return false;
}

}  // namespace qltool
