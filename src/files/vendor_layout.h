// Layouts of exchange and vendor files as data: per field the header name that holds it, the
// value maps of side and type codes, what the rows become, and the built-in layouts. Profiles
// (`key = value` lines), --map and --values edit a layout in one form. Detection picks the
// built-in whose columns a header carries best.
#ifndef QUOTELAB_FILES_VENDOR_LAYOUT_H
#define QUOTELAB_FILES_VENDOR_LAYOUT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "quotelab/layout_reader.h"

namespace KX {
namespace detail {

enum LayoutField : int {
  kSymbol,
  kDate,
  kTime,
  kType,
  kSide,
  kPrice,
  kVolume,
  kOrderNo,
  kBuyNo,
  kSellNo,
  kTradeNo,
  kSequence,
  // exchange snapshots
  kPreClose,
  kOpen,
  kHigh,
  kLow,
  kLast,
  kClose,
  kPhase,
  kNumTrades,
  kTotalVolume,
  kTurnover,
  kIopv,
  kFieldCount
};

// Per-level snapshot columns; their header names hold '#' for the level number.
enum LayoutLevel : int {
  kAskPrice,
  kAskVolume,
  kBidPrice,
  kBidVolume,
  kBidOrders,
  kAskOrders,
  kLevelCount
};

// Meanings a code maps to. Side: 'B', 'S', 'N' (none), 'X' (refused: not a book side).
// Type: 'A' add (limit), 'M' market, 'U' own-side best, 'D' delete, 'T' trade, 'C' cancel (a
// trade record that cancels), 'S' skip the row.
struct ValueCode {
  std::string code;
  char meaning;
};

struct Layout {
  std::string name;
  std::string description;
  LayoutContent content = LayoutContent::Orders;
  bool content_given = false;  // a profile said it (else a layout made from scratch infers it)
  uint8_t exchange = 0;
  std::string columns[kFieldCount];
  std::string levels[kLevelCount];
  std::vector<ValueCode> side_values;
  std::vector<ValueCode> type_values;
  // Times of 7 or 8 digits are HHMMSSss (hundredths of a second; profile key
  // `time_digits = HHMMSSss`), not HHMMSSmmm with the hour's leading zero dropped.
  bool time_hundredths = false;
  std::vector<std::string> header;  // built-ins: the exact header the layout comes with
};

const char* field_name(int field);
const char* level_name(int level);
const char* content_name(LayoutContent content);

const std::vector<Layout>& builtin_layouts();
const Layout* find_builtin(const std::string& name);

// The fields a layout of its content must bind to read a row.
std::vector<int> required_fields(const Layout& layout);

// Applies profile text (key = value lines) to *layout. `based` tells whether a `layout =` line
// chose a built-in. Returns false with *error naming origin and line.
bool apply_profile(const std::string& text, const std::string& origin, Layout* layout, bool* based,
                   std::string* error);
// "field=Column,..." and "side:1=B,2=S;type:10=D".
bool apply_map_text(const std::string& request, const std::string& origin, Layout* layout,
                    std::string* error);
bool apply_values_text(const std::string& request, const std::string& origin, Layout* layout,
                       std::string* error);

// A layout written as profile text.
std::string layout_profile_text(const Layout& layout);

// Position of a header name (ASCII-case-insensitive, blanks trimmed), or -1.
int header_position(const std::vector<std::string>& header, const std::string& name);

// Chooses the built-in that the header binds best: every column it needs present, then the
// most of its header names. Returns it, or NULL with *error set (none binds; two tie: both
// named).
const Layout* detect_layout(const std::vector<std::string>& header, std::string* error);

// The header name of a level column: the pattern with '#' replaced by the level (1 to 10).
std::string level_column(const std::string& pattern, int level);

}  // namespace detail
}  // namespace KX

#endif  // QUOTELAB_FILES_VENDOR_LAYOUT_H
