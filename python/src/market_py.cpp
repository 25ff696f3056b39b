// The whole market's day from Python: the program's market pass (book --market, with its
// shards) and the merge of a day's part files, run with the GIL released, and the manifest
// read as the program reads it. The cluster runner (quotelab.cluster) calls these in its tasks.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "manifest.h"
#include "market_day.h"
#include "records_py.h"

namespace qlpy {
namespace {

py::dict summary_dict(const qltool::MarketResult& r) {
  py::dict d;
  d["date"] = r.date;
  d["out"] = r.out_path;
  d["symbols"] = r.symbols.size();
  d["events"] = r.events;
  d["snapshots"] = r.snapshots;
  d["refused"] = r.refused + r.refused_rows;
  d["unmatched"] = r.unmatched;
  d["other_exchange"] = r.other_exchange;
  d["seconds"] = r.seconds;
  return d;
}

qltool::FileFormat format_named(const std::string& name) {
  if (name == "csv") return qltool::FileFormat::Csv;
  if (name == "bin") return qltool::FileFormat::Binary;
  throw py::value_error("out_format: '" + name + "' is not 'csv' or 'bin'");
}

py::dict rebuild_market(const std::string& orders, const std::string& trades,
                        const std::string& root, const std::string& out, int date,
                        const std::string& sequence, std::vector<std::string> symbols, int shard,
                        int shards, int jobs, int interval_ms, const std::string& out_format,
                        const std::string& profile, bool lenient) {
  if (root.empty() == out.empty()) throw py::value_error("give exactly one of root and out");
  if (shards < 1 || shard < 0 || shard > shards) {
    throw py::value_error("shard: expected K of N with 1 <= K <= N");
  }
  if (jobs < 1) throw py::value_error("jobs: expected 1 or more");
  if (interval_ms < 0) throw py::value_error("interval_ms: expected 0 or more");
  qltool::MarketJob job;
  job.files.orders_path = orders;
  job.files.trades_path = trades;
  job.files.sequence_path = sequence;
  job.files.input.profile = profile;
  job.files.input.lenient = lenient;
  job.files.date = date;
  job.symbols = std::move(symbols);
  job.date = date;
  job.interval_ms = interval_ms;
  job.root = root;
  job.out_path = out;
  if (!out_format.empty()) {
    job.output_format_given = true;
    job.output_format = format_named(out_format);
  }
  job.threads = jobs;
  job.shard = shard;
  job.shards = shard == 0 ? 1 : shards;
  qltool::MarketResult result;
  bool ok;
  {
    py::gil_scoped_release release;
    ok = qltool::run_market_day(job, &result, nullptr);
  }
  std::string error = ok ? qltool::refusal_error(result, lenient) : result.error;
  if (!error.empty()) {
    // The rows the input refused, named by file and line, then what failed.
    for (const std::string& line : result.refusals) error = line + "\n" + error;
    raise_error("FileError", error);
  }
  return summary_dict(result);
}

py::dict merge_day(const std::string& root, int date, bool remove_parts) {
  std::string out_path;
  size_t written = 0;
  std::string error;
  bool ok;
  {
    py::gil_scoped_release release;
    ok = qltool::merge_day_parts(root, date, ',', remove_parts, &out_path, &written, &error);
  }
  if (!ok) raise_error("FileError", error);
  py::dict d;
  d["out"] = out_path;
  d["snapshots"] = written;
  return d;
}

py::list read_manifest(const std::string& path, const std::string& root) {
  qltool::BookJob base;
  base.root = root;
  std::vector<qltool::ManifestJob> jobs;
  std::string error;
  if (!qltool::read_manifest(path, base, &jobs, &error)) raise_error("FileError", error);
  py::list out;
  for (const auto& mj : jobs) {
    py::dict d;
    d["line"] = mj.line;
    d["market"] = mj.market;
    d["date"] = mj.job.date;
    d["exchange"] = mj.job.exchange;
    d["symbol"] = mj.job.symbol;
    d["orders"] = mj.job.orders_path;
    d["trades"] = mj.job.trades_path;
    d["sequence"] = mj.job.sequence_path;
    d["profile"] = mj.profile;
    d["out"] = mj.job.out_path;
    out.append(d);
  }
  return out;
}

}  // namespace

void bind_market(py::module_& m) {
  m.def("rebuild_market", &rebuild_market, py::arg("orders"), py::arg("trades"),
        py::arg("root") = "", py::arg("out") = "", py::arg("date") = 0, py::arg("sequence") = "",
        py::arg("symbols") = std::vector<std::string>(), py::arg("shard") = 0,
        py::arg("shards") = 1, py::arg("jobs") = 1, py::arg("interval_ms") = 3000,
        py::arg("out_format") = "", py::arg("profile") = "", py::arg("lenient") = false,
        "Rebuilds a whole-market day (book --market): every symbol of the files into one day "
        "file under root (or out), or with shard K of N its part file. CSV files in an exchange "
        "or vendor layout are detected, or read under profile (a built-in layout or a profile "
        "file). Raises FileError naming refused rows unless lenient. Returns the summary.");
  m.def("merge_day", &merge_day, py::arg("root"), py::arg("date"), py::arg("remove_parts") = false,
        "Joins a day's part files into its day file (quotelab merge). Returns the summary.");
  m.def("read_manifest", &read_manifest, py::arg("path"), py::arg("root") = "",
        "The jobs of a book manifest, as the program reads it (jobs without an output go under "
        "root): a list of dicts.");
}

}  // namespace qlpy
