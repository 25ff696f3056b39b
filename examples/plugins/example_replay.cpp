// example_replay: a replay plug-in to copy when writing your own replay kind.
//
// What it does. It replays a binary tick file (tick.dat: a headerless sequence of 464-byte
// _L2Snapshot records, see data_file_manager.h) like the built-in "bin" kind, but delivers
// only the snapshots of the symbols given to subscribe(); with no subscription it delivers
// every snapshot. Snapshots of other symbols are skipped inside next(). A snapshot of another
// trading day ends the day (-2) and stays current, so init() with its day continues there.
// plugin_param caps the number of symbols subscribe() keeps (0: the default of 64).
//
// Build. The quotelab build makes it into <build>/plugins/example_replay.so. On its own:
//   QL_FLAGS="$(pkg-config --cflags --libs quotelab)"
//   g++ -std=c++17 -shared -fPIC -o example_replay.so example_replay.cpp $QL_FLAGS
// A plug-in must be built against the same data_replay.h as the host: the factory writes the
// library handle into the object's IDataReplay part.
//
// Use it from a host:
//   KX::IDataReplay* r = KX::IDataReplay::create_data_replay(
//       "/path/to/example_replay.so", "tick", "", "/data/20240105/tick.dat", 0);
//   char* symbols[] = {(char*)"600000", (char*)"000001"};
//   r->subscribe(symbols, 2, 0);
//   r->init(20240105);
//   r->start();
//   alignas(8) unsigned char buf[sizeof(_L2Snapshot)];
//   unsigned char type = 0;
//   while (r->next(buf, sizeof buf, &type) > 0) { /* one snapshot of a subscribed symbol */ }
//   void* lib = r->get_hlib();
//   r->release();          // the object is deleted by the plug-in's own code...
//   dynlib_close(lib);     // ...so the library may be unloaded only afterwards (optional)
//
// The rules every plug-in follows:
//  - export extern "C" create_data_replay with the signature of KX::ReplayPluginEntry and
//    return a new object (or NULL when the arguments do not suit);
//  - release() deletes the object: the host never calls delete on it;
//  - next() writes one whole record into buf only when size leaves room for it, and returns
//    the codes of data_replay.h (> 0 record size, -2 other trading day, -3 no more records).
#include <stdio.h>
#include <string.h>

#include <string>
#include <unordered_set>

#include "quotelab/data_replay.h"

namespace {

class SymbolFilterReplay : public KX::IDataReplay {
 public:
  SymbolFilterReplay(const char* frequency, const char* data_market, const char* tick_file,
                     int max_symbols)
      : KX::IDataReplay("symfilter", frequency, data_market),
        max_symbols_(max_symbols > 0 ? max_symbols : 64) {
    file_ = tick_file != nullptr ? fopen(tick_file, "rb") : nullptr;
    if (file_ == nullptr) {
      fprintf(stderr, "example_replay: cannot open '%s'\n", tick_file ? tick_file : "(null)");
    }
  }
  ~SymbolFilterReplay() override {
    if (file_ != nullptr) fclose(file_);
  }
  SymbolFilterReplay(const SymbolFilterReplay&) = delete;
  SymbolFilterReplay& operator=(const SymbolFilterReplay&) = delete;

  int init(int day) override {
    trading_day = day;
    return file_ != nullptr ? 0 : -4;
  }
  int start() override { return 0; }

  int next(void* buf, int size, unsigned char* type) override {
    if (file_ == nullptr) return -4;
    if (buf == nullptr || size < static_cast<int>(sizeof(_L2Snapshot))) return -1;
    for (;;) {
      if (!has_pending_ && fread(&pending_, sizeof pending_, 1, file_) != 1) return -3;
      has_pending_ = true;
      if (trading_day > 0 && pending_.trading_day != trading_day) return -2;  // stays pending
      has_pending_ = false;
      if (wanted(pending_.symbol)) break;
    }
    memcpy(buf, &pending_, sizeof pending_);
    if (type != nullptr) *type = QL_RECORD_L2SNAPSHOT;
    return static_cast<int>(sizeof pending_);
  }

  void release() override { delete this; }

  // Replaces the subscription. Returns the number of symbols kept.
  int subscribe(char** symbols, int count, int /*flags*/) override {
    symbols_.clear();
    for (int i = 0; symbols != nullptr && i < count; ++i) {
      if (symbols[i] == nullptr || static_cast<int>(symbols_.size()) >= max_symbols_) continue;
      symbols_.insert(symbols[i]);
    }
    return static_cast<int>(symbols_.size());
  }

 private:
  bool wanted(const char* symbol) const {
    if (symbols_.empty()) return true;
    const std::string key(symbol, strnlen(symbol, sizeof pending_.symbol));
    return symbols_.count(key) != 0;
  }

  FILE* file_ = nullptr;
  _L2Snapshot pending_{};  // the record read last; kept when it ended a day
  bool has_pending_ = false;
  int max_symbols_;
  std::unordered_set<std::string> symbols_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) KX::IDataReplay* create_data_replay(
    const char* frequency, const char* data_market, const char* file, int plugin_param) {
  // This kind replays ticks only.
  if (frequency == nullptr || strcmp(frequency, "tick") != 0) return nullptr;
  return new SymbolFilterReplay(frequency, data_market, file, plugin_param);
}
