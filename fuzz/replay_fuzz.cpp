// The binary and CSV replays over any file: the first byte picks the kind, the frequency and
// the trading day; every day is driven to its end. A replay must end (no record delivered
// twice forever), deliver records of the size it reports and never write past it.
#include <cstdint>
#include <cstring>

#include "fuzz_input.h"
#include "quotelab/data_replay.h"

namespace {

constexpr int kGuard = 64;
constexpr unsigned char kFill = 0xA5;

void drive(KX::IDataReplay& replay, int day, size_t file_size) {
  unsigned char buf[sizeof(_L2Snapshot) + kGuard];
  if (replay.init(day) < 0) return;
  replay.start();
  // Every delivery consumes at least one record or row, so the file's size bounds the calls.
  for (size_t calls = 0; calls <= file_size + 2; ++calls) {
    std::memset(buf, kFill, sizeof buf);
    unsigned char type = 0;
    const int rc = replay.next(buf, sizeof(_L2Snapshot), &type);
    for (size_t i = sizeof(_L2Snapshot); i < sizeof buf; ++i) QLFUZZ_CHECK(buf[i] == kFill);
    if (rc > 0) {
      QLFUZZ_CHECK(rc == static_cast<int>(sizeof(_L2Snapshot)) ||
                   rc == static_cast<int>(sizeof(_BarData)));
      continue;
    }
    if (rc == QL_BAR_SKIPPED) continue;
    return;  // the day's data ended (0, QL_OTHER_DAY, QL_NO_MORE_RECORDS, QL_NOT_OPEN)
  }
  QLFUZZ_CHECK(!"the replay never ended");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  qlfuzz::MemFile file(data + 1, size - 1);
  const char* frequency = (mode & 1) != 0 ? "tick" : "1m";
  const int days[] = {0, 20240102, 20240103};
  const int day = days[(mode >> 2) % 3];
  if ((mode & 2) != 0) {
    KX::DataReplayCsv replay(frequency, "", file.path());
    drive(replay, day, size);
    drive(replay, day + 1, size);  // the next day continues where the first stopped
  } else {
    KX::DataReplayBin replay(frequency, "", file.path());
    drive(replay, day, size);
    drive(replay, day + 1, size);
  }
  return 0;
}
