// Shared helpers of the fuzz targets: the input as a file (the readers under test open paths)
// and a crash-on-failure check that libFuzzer reports with its input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qlfuzz {

// Aborts with a message: libFuzzer saves the input that broke an invariant.
#define QLFUZZ_CHECK(cond)                                                              \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

// The bytes as an anonymous in-memory file, reachable by a /proc/self/fd path; closed by the
// destructor. No disk traffic, nothing left behind when a run is stopped.
class MemFile {
 public:
  MemFile(const uint8_t* data, size_t size) : fd_(memfd_create("qlfuzz", 0)) {
    if (fd_ < 0) std::abort();
    size_t done = 0;
    while (done < size) {
      ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemFile() { close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;
  const char* path() const { return path_.c_str(); }

 private:
  int fd_;
  std::string path_;
};

}  // namespace qlfuzz
