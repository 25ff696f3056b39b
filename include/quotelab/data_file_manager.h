/* quotelab: where a trading day's data files live.
 *
 * One directory per trading day under a data root R, holding one tick file and one file per
 * bar length N (minutes), binary (".dat": a plain sequence of records) or CSV (".csv"):
 *
 *   R/D            the day directory (D = YYYYMMDD)
 *   R/D/tick.dat   _L2Snapshot records          R/D/tick.csv    CSV ticks
 *   R/D/barNm.dat  _BarData records of N min    R/D/barNm.csv   CSV bars of N minutes
 *
 * The path functions build these paths into a caller's buffer and create the day directory
 * (its last level only: the root must exist) when it is missing.
 */
#ifndef QUOTELAB_DATA_FILE_MANAGER_H
#define QUOTELAB_DATA_FILE_MANAGER_H

#include "quotelab/export.h"

namespace KX {

/* The kind of a data file. The string overloads accept "bin" and "csv" in any letter case. */
enum DataFileType : int { BIN = 0, CSV = 1 };

/* Builds data file paths under one root. Holds nothing but the root text: copies are
 * independent, and a const object may be used by several threads at once. */
class QL_API DataFileManager {
 public:
  static constexpr int kMaxRootLength = 999;

  /* Copies at most 999 characters of root_dir; NULL or empty gives the root "./" (so paths
   * read ".//20230105/tick.dat"). */
  explicit DataFileManager(const char* root_dir);

  /* Each path function writes "<root>/<trading_day>" and the file name into path (a buffer of
   * size bytes), creating the day directory when it is missing (a failure to create it is not
   * reported: opening the file fails later). Returns the length of the NUL-terminated text
   * written.
   *  - An enumeration value other than BIN and CSV: only the day directory (created) is
   *    written, and its length returned.
   *  - A type text other than "bin" or "csv" (or NULL): returns 0, path untouched, nothing
   *    created.
   *  - A path that does not fit: path holds its first size - 1 characters and a NUL, and their
   *    number is returned (so a result of size - 1 may mean a cut path). When the day directory
   *    itself is cut, no directory is created: the cut text names some other directory.
   *  - path NULL or size <= 0: returns 0, nothing written or created. */
  int get_tick_filepath(char* const path, int size, int trading_day, DataFileType type) const;
  int get_tick_filepath(char* const path, int size, int trading_day, const char* type) const;
  int get_bar_filepath(char* const path, int size, int trading_day, DataFileType type,
                       int minutes) const;
  int get_bar_filepath(char* const path, int size, int trading_day, const char* type,
                       int minutes) const;

  const char* root_dir() const { return root; }

 private:
  char root[kMaxRootLength + 1];

  int build_path(char* const path, int size, int trading_day, int type, bool bar,
                 int minutes) const;
};

}  // namespace KX

#endif /* QUOTELAB_DATA_FILE_MANAGER_H */
