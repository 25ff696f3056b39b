// Writes a large file in spans, each from any byte offset, around the page cache: the 4 KiB
// blocks a span covers whole go straight to the device (O_DIRECT), and its unaligned ends
// (less than a block each) through the page cache. A multi-gigabyte day file written through
// the page cache takes a fresh page of memory for every 4 KiB: on a virtual machine whose host
// takes freed memory back, that costs several times the device's own speed (0.55 GB/s against
// 2 GB/s measured), and it evicts what the page cache held for the next job. Where the file
// system refuses direct I/O (tmpfs), everything goes through the page cache.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <future>
#include <memory>
#include <string>

namespace qltool {

// Memory aligned to a 4 KiB block, as direct reads and writes want it.
struct FreeAligned {
  void operator()(char* p) const;
};
using AlignedBuffer = std::unique_ptr<char, FreeAligned>;
// `bytes` (a multiple of 4 KiB) of aligned memory; null when out of memory.
AlignedBuffer aligned_buffer(size_t bytes);

// One file open twice: for direct writes when the file system allows them, and as usual.
class SpanFile {
 public:
  SpanFile() = default;
  ~SpanFile() { close(); }
  SpanFile(const SpanFile&) = delete;
  SpanFile& operator=(const SpanFile&) = delete;

  // Creates (truncates) path. False (error set) when it cannot be created.
  bool create(const std::string& path, std::string* error);
  // Takes an open read-write descriptor (an unnamed temporary file, say) and opens its direct
  // twin through /proc/self/fd, where there is one.
  void adopt(int fd);
  // Closes both descriptors; false when the last writes could not be completed.
  bool close();

  // Reads up to `bytes` at `at` into buffer (4 KiB-aligned, room for bytes rounded up to a
  // block): around the page cache where it can. Returns the bytes read, or -1 (errno set).
  ssize_t read(char* buffer, size_t bytes, off_t at) const;

  int direct_fd() const { return direct_fd_; }
  int buffered_fd() const { return buffered_fd_; }

 private:
  int direct_fd_ = -1;  // -1 when the file system refuses O_DIRECT
  int buffered_fd_ = -1;
};

// Closes a file written at `path`; false (error set, naming path) when closing failed or
// `failure`, the reason a write gave, is not empty.
bool close_day_file(SpanFile* day, const std::string& path, std::string failure,
                    std::string* error);

// The writer of one span of a SpanFile, starting at byte `offset`. Whole blocks are written
// on a thread of their own while the caller fills the next buffer, so the device's time
// overlaps the caller's (a direct write returns only once the device has the bytes). Not
// thread-safe; several writers of one file may run on several threads when their spans do
// not overlap.
class SpanWriter {
 public:
  SpanWriter(const SpanFile& file, off_t offset);
  ~SpanWriter();
  SpanWriter(const SpanWriter&) = delete;
  SpanWriter& operator=(const SpanWriter&) = delete;

  // Appends bytes to the span. False once a write failed (and from then on).
  bool write(const void* data, size_t bytes);
  // Writes what is still buffered and waits for it. False when a write failed.
  bool finish();
  // The errno of the write that failed (0 while none has).
  int failure() const { return failure_; }

 private:
  bool hand_over_blocks(size_t bytes);
  bool wait_for_blocks();
  int write_blocks(const char* data, size_t bytes, off_t at);  // 0 or an errno
  bool write_buffered(const char* data, size_t bytes, off_t at);

  int direct_fd_;  // used by the block writes only
  int buffered_fd_;
  off_t at_;              // file offset of buffer_[0] (or of the next byte, before the first block)
  AlignedBuffer buffer_;  // kBuffer bytes: the one being filled
  AlignedBuffer spare_;   // the other one, possibly being written
  std::future<int> busy_;  // the block write under way
  size_t used_ = 0;        // bytes in buffer_
  size_t head_ = 0;        // bytes still to write before the first block boundary
  bool ok_ = true;
  int failure_ = 0;
};

}  // namespace qltool
