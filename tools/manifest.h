// The manifest of `quotelab book --manifest`: one job per line, fields separated by blanks or
// commas, '#' starting a comment, relative paths taken from the manifest's directory:
//
//   EXCHANGE SYMBOL DATE ORDERS TRADES [OUT] [sequence=FILE] [profile=NAME|FILE]
//
// A line with '*' for both exchange and symbol is a whole-market day: its files hold every
// symbol and it writes the day file (`book --market`). sequence= gives the exchange's
// sequence over the line's two files; profile= names the vendor layout of its files.
#pragma once

#include <string>
#include <vector>

#include "book_job.h"

namespace qltool {

struct ManifestJob {
  int line = 0;
  BookJob job;          // files, date, output (settled) and, for one symbol, exchange and symbol
  bool market = false;  // a whole-market day
  std::string profile;  // vendor layout of the files; empty: quotelab's own records
};

// Reads the manifest into jobs built on base (the options shared by every job), settles each
// job's output file and refuses two jobs that would write the same one. Returns false with
// *error set ("FILE line N: ...").
bool read_manifest(const std::string& path, const BookJob& base, std::vector<ManifestJob>* jobs,
                   std::string* error);

}  // namespace qltool
