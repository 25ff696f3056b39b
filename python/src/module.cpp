// quotelab._core: the native part of the Python package quotelab.
#include "records_py.h"

PYBIND11_MODULE(_core, m) {
  m.doc() =
      "quotelab's native module: records, files, order books, replays and checks (see quotelab).";
  qlpy::bind_records(m);
  qlpy::bind_files(m);
  qlpy::bind_book(m);
  qlpy::bind_replay(m);
  qlpy::bind_market(m);
  qlpy::bind_verify(m);
  qlpy::bind_layouts(m);
}
