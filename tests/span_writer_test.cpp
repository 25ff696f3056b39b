// A file written in spans from several threads at once, each from any byte offset, reads back
// as the bytes a single writer writes: on a disk file system (direct writes of whole blocks,
// the page cache for the ends) and on tmpfs (no direct I/O at all).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "span_writer.h"

namespace {

// Bytes whose value tells their place, so a span written at a wrong offset shows.
std::vector<char> pattern(size_t n) {
  std::vector<char> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
  return bytes;
}

std::vector<char> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_in_spans(const std::string& path, const std::vector<char>& bytes,
                    const std::vector<size_t>& cuts, size_t piece) {
  qltool::SpanFile file;
  std::string error;
  ASSERT_TRUE(file.create(path, &error)) << error;
  std::vector<char> ok(cuts.size() - 1, 0);
  std::vector<std::thread> writers;
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    writers.emplace_back([&, i] {
      qltool::SpanWriter w(file, static_cast<off_t>(cuts[i]));
      bool good = true;
      for (size_t at = cuts[i]; at < cuts[i + 1]; at += piece) {
        const size_t n = std::min(piece, cuts[i + 1] - at);
        good = w.write(bytes.data() + at, n) && good;
      }
      ok[i] = w.finish() && good;
    });
  }
  for (std::thread& t : writers) t.join();
  EXPECT_TRUE(file.close());
  for (size_t i = 0; i < ok.size(); ++i) EXPECT_TRUE(ok[i]) << "span " << i;
}

TEST(SpanWriter, SpansFromAnyOffsetReadBackAsOneWriterWritesThem) {
  // Spans that start and end inside blocks, one inside a single block, one of whole blocks,
  // one longer than the writer's buffer; records of 464 bytes (a snapshot) and single bytes.
  const size_t total = (size_t{9} << 20) + 4321;
  const std::vector<char> bytes = pattern(total);
  const std::vector<std::vector<size_t>> splits = {
      {0, total},
      {0, 100, 4096, 8192 + 17, 8192 + 300, 3 << 20, total},
      {0, 464 * 7, 464 * 9000, total - 1, total},
  };
  const std::string pid = std::to_string(getpid());
  for (const std::string& dir : {std::string(testing::TempDir()), std::string("/dev/shm/")}) {
    if (access(dir.c_str(), W_OK) != 0) continue;
    const std::string path = dir + "ql_span_writer_" + pid + ".bin";
    for (const auto& cuts : splits) {
      for (size_t piece : {size_t{464}, size_t{1}, size_t{5} << 20}) {
        if (piece == 1 && cuts.size() > 3) continue;  // byte by byte: one split is enough
        write_in_spans(path, bytes, cuts, piece);
        EXPECT_TRUE(read_all(path) == bytes)
            << path << ": " << cuts.size() - 1 << " spans, pieces of " << piece;
      }
    }
    std::remove(path.c_str());
  }
}

TEST(SpanWriter, FailuresSayWhy) {
  qltool::SpanFile file;
  std::string error;
  EXPECT_FALSE(file.create("/nonexistent-dir/x.dat", &error));
  EXPECT_NE(error.find("cannot create '/nonexistent-dir/x.dat'"), std::string::npos) << error;
  // A full device: the write that failed keeps its reason, whichever path it took.
  if (access("/dev/full", W_OK) != 0) return;
  ASSERT_TRUE(file.create("/dev/full", &error)) << error;
  const std::vector<char> bytes = pattern(size_t{5} << 20);
  qltool::SpanWriter w(file, 100);
  w.write(bytes.data(), bytes.size());
  EXPECT_FALSE(w.finish());
  EXPECT_EQ(w.failure(), ENOSPC);
}

}  // namespace
