// The replay behind quotelab.replay: any IDataReplay kind (built-in or plug-in), its records
// gathered into batches that numpy owns, the GIL released while a batch fills.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quotelab/data_replay.h"
#include "records_py.h"

namespace qlpy {
namespace {

// Room for one record of any kind this package reads (the snapshot is the largest), with margin
// for a plug-in that writes past the room it is given.
constexpr size_t kRecordRoom = 1024;

struct Malloced {
  static void release(void* p) { std::free(p); }
};

// One replay source. Not thread-safe: the GIL serialises its Python callers, and a batch is
// filled by the calling thread alone.
class Replay {
 public:
  Replay(const std::string& kind, const std::string& frequency, const std::string& market,
         const std::string& file, int plugin_param)
      : replay_(KX::IDataReplay::create_data_replay(kind.c_str(), frequency.c_str(), market.c_str(),
                                                    file.c_str(), plugin_param)) {
    if (replay_ == nullptr) {
      raise_error("ReplayError", "create_data_replay: no replay of kind '" + kind + "'", -1, "");
    }
  }
  ~Replay() {
    if (replay_ != nullptr) replay_->release();
  }
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

  int init(int trading_day) {
    stop_ = 1;
    ended_ = false;
    return replay_->init(trading_day);
  }
  int start() { return replay_->start(); }

  // Up to max_records records of one kind, or None when the day's records have ended (stop()
  // then tells why). A record of another kind than the batch's starts the next batch.
  py::object next_batch(size_t max_records) {
    if (max_records == 0) throw py::value_error("batch: expected at least one record");
    if (ended_) return py::none();  // the last batch met the end: asking again would read on
    int result;
    {
      py::gil_scoped_release unlocked;
      result = pending_size_ > 0 ? 0 : next_into(pending_, sizeof pending_, &pending_type_);
      if (result > 0) pending_size_ = static_cast<size_t>(result);
    }
    if (pending_size_ == 0) return stopped(result);

    const size_t size = pending_size_;
    const int type = pending_type_;
    if (record_dtype_name(type) == nullptr || ql_record_size(type) != static_cast<int>(size)) {
      raise_error("ReplayError",
                  "replay delivered a record of type " + std::to_string(type) + " and " +
                      std::to_string(size) + " bytes, which no array type holds",
                  -1, "");
    }
    auto* data = static_cast<unsigned char*>(std::malloc(max_records * size + kRecordRoom));
    if (data == nullptr) throw std::bad_alloc();
    std::memcpy(data, pending_, size);
    pending_size_ = 0;
    size_t count = 1;
    {
      py::gil_scoped_release unlocked;
      while (count < max_records) {
        unsigned char got_type = 0;
        unsigned char* slot = data + count * size;
        const int r = next_into(slot, size + kRecordRoom, &got_type);
        if (r <= 0) {
          stop_ = r;
          ended_ = true;
          break;
        }
        if (got_type != type || static_cast<size_t>(r) != size) {
          // Another kind: it opens the next batch.
          std::memcpy(pending_, slot, std::min(static_cast<size_t>(r), sizeof pending_));
          pending_size_ = static_cast<size_t>(r);
          pending_type_ = got_type;
          break;
        }
        ++count;
      }
    }
    if (count < max_records) {
      void* shrunk = std::realloc(data, count * size);
      if (shrunk != nullptr) data = static_cast<unsigned char*>(shrunk);
    }
    return wrap_records(record_dtype_name(type), data, count, size, data, &Malloced::release);
  }

  // Why the last batch ended: 0 end of the source (binary files), -2 the next record belongs to
  // another day, -3 no more records; 1 while records flow.
  int stop() const { return stop_; }

 private:
  // next() until it gives a record or a stop; earlier bars skipped (-6) are passed over.
  int next_into(void* buf, size_t room, unsigned char* type) {
    for (;;) {
      *type = 0;
      const int r = replay_->next(buf, static_cast<int>(room), type);
      if (r > 0 && *type == 0) *type = *static_cast<unsigned char*>(buf);
      if (r != -6) return r;
    }
  }

  py::object stopped(int result) {
    stop_ = result;
    ended_ = true;
    if (result == 0 || result == -2 || result == -3) return py::none();
    raise_error("ReplayError",
                std::string(replay_->get_name()) + " replay: next() failed with " +
                    std::to_string(result) +
                    (result == -4 ? " (the source is not open)" : " (bad argument or frequency)"),
                result, "");
  }

  KX::IDataReplay* replay_;
  unsigned char pending_[kRecordRoom];  // a record read but not yet handed out
  size_t pending_size_ = 0;
  unsigned char pending_type_ = 0;
  int stop_ = 1;
  bool ended_ = false;  // the day's records have ended: no more batches until the next init
};

}  // namespace

void bind_replay(py::module_& m) {
  py::class_<Replay>(m, "Replay")
      .def(py::init<const std::string&, const std::string&, const std::string&, const std::string&,
                    int>(),
           py::arg("kind"), py::arg("frequency"), py::arg("market"), py::arg("file"),
           py::arg("plugin_param") = 0)
      .def("init", &Replay::init, py::arg("trading_day"))
      .def("start", &Replay::start)
      .def("next_batch", &Replay::next_batch, py::arg("max_records"))
      .def_property_readonly("stop", &Replay::stop);
}

}  // namespace qlpy
