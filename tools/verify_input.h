// What verify_day needs, from the program's files: the reference snapshots of a tick file and
// the day book_job loaded. Shared by `verify` and `report`.
#pragma once

#include <string>
#include <vector>

#include "book_job.h"
#include "verify_day.h"

namespace qltool {

// The snapshots of `symbol` and trading day `date` (snapshots without a trading day count as
// the day's) in the file at path, in file order, each with its line: an exchange snapshot
// layout the layout reader detects (with the order counts of each level; rows it refuses fail
// the read unless lenient), else quotelab's tick file (CSV by its .csv name, else binary; CSV
// rows follow their header line, binary records count from 1). Returns false with *error set
// when the file cannot be read or has none of them.
bool read_references(const std::string& path, char delimiter, const std::string& symbol, int date,
                     bool lenient, std::vector<qlverify::ReferenceSnapshot>* refs,
                     std::string* error);

// The day as load_book_day (or run_book_job) left it in `buffers`: the two files, or the
// exchange's sequence over them when the job has one. Borrows the buffers' arrays.
qlverify::DayInput day_input_of(const BookJob& job, const BookBuffers& buffers,
                                const BookResult& loaded);

}  // namespace qltool
