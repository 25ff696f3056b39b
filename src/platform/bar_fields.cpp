// Bar field numbers: the names by which history queries ask for one column of bars.
#include "quotelab/utilcore.h"

namespace {

struct BarField {
  int number;
  const char* name;
};

constexpr BarField kBarFields[] = {
    {0, "none"},   {1, "open"},     {2, "high"},          {3, "low"},         {4, "close"},
    {5, "volume"}, {6, "turnover"}, {7, "open_interest"}, {12, "num_trades"},
};

}  // namespace

extern "C" {

int bar_field_int(const char* name) {
  if (!name) return 0;
  for (const BarField& f : kBarFields) {
    if (KX::StringUtil::iequals(f.name, name)) return f.number;
  }
  return 0;
}

const char* bar_field_str(int n) {
  for (const BarField& f : kBarFields) {
    if (f.number == n) return f.name;
  }
  return "";
}

}  // extern "C"
