// IDataReplay: the shared fields and settings, the filter-window conversion and the factory
// that makes every kind by name, plug-in kinds included.
#include "quotelab/data_replay.h"

#include <string.h>
#include <unistd.h>

#include <new>
#include <string>

#include "quotelab/utilcore.h"

namespace KX {
namespace {

constexpr const char* kFactoryName = "KX::IDataReplay::create_data_replay";
constexpr const char* kPluginEntryName = "create_data_replay";
// The plug-in that "vdb" and "default" select; messages print this name.
constexpr const char* kDefaultPluginName = "vdb_replayer.dll";

// Zero-fills a text field and copies at most 15 characters into it.
void store_text(char (&field)[IDataReplay::kTextCapacity], const char* text) {
  memset(field, 0, sizeof field);
  if (text != nullptr) StringUtil::copy_cut(field, text, IDataReplay::kTextCapacity - 1);
}

// (a * b + c) in 64 bits, saturated instead of overflowing.
int64_t saturating_mul_add(int64_t a, int64_t b, int64_t c) {
  int64_t product = 0;
  int64_t sum = 0;
  if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(product, c, &sum)) {
    return (a < 0) != (b < 0) ? INT64_MIN : INT64_MAX;
  }
  return sum;
}

IDataReplay* make_builtin(const char* name, const char* frequency, const char* data_market,
                          const char* file) {
  if (StringUtil::iequals(name, "bin")) {
    return new (std::nothrow) DataReplayBin(frequency, data_market, file);
  }
  if (StringUtil::iequals(name, "csv")) {
    return new (std::nothrow) DataReplayCsv(frequency, data_market, file);
  }
  if (StringUtil::iequals(name, "empty")) {
    return new (std::nothrow) DataReplayEmpty(frequency, data_market, nullptr);
  }
  if (StringUtil::iequals(name, "mock")) {
    return new (std::nothrow) DataReplayMock(frequency, data_market);
  }
  return nullptr;
}

bool is_builtin_name(const char* name) {
  return StringUtil::iequals(name, "bin") || StringUtil::iequals(name, "csv") ||
         StringUtil::iequals(name, "empty") || StringUtil::iequals(name, "mock");
}

// The existence test looks a bare name up in the current directory; the loader would search
// its library path instead, so such a name is loaded as "./name": the file found is the file
// loaded.
std::string loadable_path(const char* path) {
  if (strchr(path, '/') != nullptr) return path;
  return std::string("./") + path;
}

IDataReplay* load_plugin_replay(const char* path, const char* frequency, const char* data_market,
                                const char* file, int plugin_param) {
  if (access(path, F_OK) != 0) {
    fprintf(stderr, "%s: Unknown replay_name '%s', must be in ['vdb', 'bin', 'csv', 'mock']\n",
            kFactoryName, path);
    return nullptr;
  }
  void* lib = dynlib_open(loadable_path(path).c_str());
  void* entry = lib != nullptr ? dynlib_sym(lib, kPluginEntryName) : nullptr;
  if (entry == nullptr) {
    fprintf(stderr, "%s: dll load replay_name='%s' failed get '%s' func entry, hlib=%p\n",
            kFactoryName, path, kPluginEntryName, lib);
    dynlib_close(lib);
    return nullptr;
  }
  IDataReplay* replay =
      reinterpret_cast<ReplayPluginEntry>(entry)(frequency, data_market, file, plugin_param);
  if (replay == nullptr) {
    // Nothing made by the library can reach the caller, so its handle would only be lost.
    dynlib_close(lib);
    return nullptr;
  }
  replay->set_hlib(lib);
  return replay;
}

}  // namespace

IDataReplay::IDataReplay(const char* name, const char* frequency, const char* data_market) {
  store_text(this->name, name);
  store_text(this->frequency, frequency);
  store_text(this->data_market, data_market);
}

IDataReplay::~IDataReplay() = default;

int IDataReplay::subscribe(char** /*symbols*/, int /*count*/, int /*flags*/) {
  return QL_NOT_SUPPORTED;
}

void IDataReplay::set_filter_dt(int64_t start, int64_t end) {
  start_time = start;
  end_time = end;
}

int64_t IDataReplay::convert_filter_dt(int date, int time) {
  const int64_t seconds = TimeTools::to_time_t(date, time / 1000);
  const int64_t msec = saturating_mul_add(seconds, 1000, time % 1000);
  return saturating_mul_add(msec, 1000000, 0);
}

bool IDataReplay::frequency_is_tick() const {
  return strcmp(frequency, "tick") == 0 || strcmp(frequency, "tick2") == 0;
}

IDataReplay* IDataReplay::create_data_replay(const char* replay_name, const char* frequency,
                                             const char* data_market, const char* file,
                                             int plugin_param) {
  if (replay_name == nullptr) return nullptr;
  const char* name = replay_name;
  if (strcmp(name, "vdb") == 0 || strcmp(name, "default") == 0) name = kDefaultPluginName;
  if (is_builtin_name(name)) return make_builtin(name, frequency, data_market, file);
  return load_plugin_replay(name, frequency, data_market, file, plugin_param);
}

}  // namespace KX
