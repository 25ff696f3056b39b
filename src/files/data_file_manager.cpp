// DataFileManager: per-day data file paths under a root, cut safely to the caller's buffer.
#include "quotelab/data_file_manager.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quotelab/utilcore.h"

namespace KX {
namespace detail {
namespace {

// Length of what snprintf left in a buffer of `space` bytes, given its would-be length.
inline int written_length(int would_be, int space) {
  if (would_be < 0) return 0;
  return would_be < space ? would_be : space - 1;
}

// Creates the last level of `dir` when it does not exist; the failure shows when the file is
// opened, so it is not reported here.
void ensure_directory(const char* dir) {
  if (access(dir, F_OK) != 0) mkdir(dir, 0777);
}

// Parses "bin" / "csv" in any letter case. Returns false for anything else.
bool parse_type(const char* text, int* type) {
  if (StringUtil::iequals(text, "csv")) {
    *type = CSV;
  } else if (StringUtil::iequals(text, "bin")) {
    *type = BIN;
  } else {
    return false;
  }
  return true;
}

}  // namespace
}  // namespace detail

DataFileManager::DataFileManager(const char* root_dir) {
  StringUtil::copy_cut(root, root_dir && root_dir[0] ? root_dir : "./", kMaxRootLength);
}

int DataFileManager::build_path(char* const path, int size, int trading_day, int type, bool bar,
                                int minutes) const {
  if (!path || size <= 0) return 0;
  const int dir_len = snprintf(path, static_cast<size_t>(size), "%s/%d", root, trading_day);
  if (dir_len < 0) {
    path[0] = '\0';
    return 0;
  }
  // A cut day directory names another directory: leave the disk alone.
  if (dir_len >= size) return size - 1;
  detail::ensure_directory(path);

  char* const rest = path + dir_len;
  const int space = size - dir_len;
  int file_len = 0;
  switch (type) {
    case BIN:
      file_len = bar ? snprintf(rest, static_cast<size_t>(space), "/bar%dm.dat", minutes)
                     : snprintf(rest, static_cast<size_t>(space), "/tick.dat");
      break;
    case CSV:
      file_len = bar ? snprintf(rest, static_cast<size_t>(space), "/bar%dm.csv", minutes)
                     : snprintf(rest, static_cast<size_t>(space), "/tick.csv");
      break;
    default:  // unknown kind: the day directory alone
      break;
  }
  if (file_len < 0) rest[0] = '\0';
  return dir_len + detail::written_length(file_len, space);
}

int DataFileManager::get_tick_filepath(char* const path, int size, int trading_day,
                                       DataFileType type) const {
  return build_path(path, size, trading_day, type, false, 0);
}

int DataFileManager::get_tick_filepath(char* const path, int size, int trading_day,
                                       const char* type) const {
  int kind = BIN;
  if (!detail::parse_type(type, &kind)) return 0;
  return build_path(path, size, trading_day, kind, false, 0);
}

int DataFileManager::get_bar_filepath(char* const path, int size, int trading_day,
                                      DataFileType type, int minutes) const {
  return build_path(path, size, trading_day, type, true, minutes);
}

int DataFileManager::get_bar_filepath(char* const path, int size, int trading_day, const char* type,
                                      int minutes) const {
  int kind = BIN;
  if (!detail::parse_type(type, &kind)) return 0;
  return build_path(path, size, trading_day, kind, true, minutes);
}

}  // namespace KX
