// A replay plug-in for the factory tests: a kind of its own, "testgen", that delivers
// plugin_param generated snapshots for the trading day, then QL_NO_MORE_RECORDS. plugin_param < 0
// makes the entry point return NULL. Its subscribe answers with the symbol count, so a test can see
// that calls reach the plug-in's own overrides.
#include <string.h>

#include <type_traits>

#include "quotelab/data_replay.h"

namespace {

class GeneratedReplay : public KX::IDataReplay {
 public:
  GeneratedReplay(const char* frequency, const char* data_market, int count)
      : KX::IDataReplay("testgen", frequency, data_market), count_(count) {}

  int init(int day) override {
    trading_day = day;
    return 0;
  }
  int start() override { return 0; }
  int next(void* buf, int size, unsigned char* type) override {
    if (buf == nullptr || size < static_cast<int>(sizeof(_L2Snapshot))) return -1;
    if (delivered_ >= count_) return QL_NO_MORE_RECORDS;
    _L2Snapshot rec;
    memset(&rec, 0, sizeof rec);
    rec.type = QL_RECORD_L2SNAPSHOT;
    strcpy(rec.symbol, "PLUG");
    rec.action_day = trading_day;
    rec.trading_day = trading_day;
    rec.time = 93000000 + 3000 * delivered_;
    rec.last = 10.0 + delivered_;
    ++delivered_;
    memcpy(buf, &rec, sizeof rec);
    if (type != nullptr) *type = rec.type;
    return static_cast<int>(sizeof rec);
  }
  void release() override { delete this; }
  int subscribe(char** /*symbols*/, int count, int /*flags*/) override { return count; }

 private:
  int count_;
  int delivered_ = 0;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) KX::IDataReplay* create_data_replay(
    const char* frequency, const char* data_market, const char* /*file*/, int plugin_param) {
  if (plugin_param < 0) return nullptr;
  return new GeneratedReplay(frequency, data_market, plugin_param);
}

static_assert(std::is_same<decltype(&create_data_replay), KX::ReplayPluginEntry>::value,
              "the entry point must have the factory's signature");
