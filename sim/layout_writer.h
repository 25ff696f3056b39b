// Writes a simulated day in the exchanges' and vendors' own file layouts, exactly as those
// files look (header, time and price styles, value codes), so that tests and benchmarks can
// read the same day through every layout LayoutReader knows. Not thread-safe per call.
#ifndef QUOTELAB_SIM_LAYOUT_WRITER_H
#define QUOTELAB_SIM_LAYOUT_WRITER_H

#include <string>

#include "feed_sim.h"

namespace qlsim {

enum class FileLayout {
  ShanghaiA,      // sh-a-orders / sh-a-trades: no date column, 09:15:00.020, noisy prices
  ShanghaiB,      // sh-b-orders / sh-b-trades: 2023.07.11 dates, codes 1/2 and 2/10, .SH
  ShanghaiTicks,  // sh-ticks: one file in the exchange's sequence, with a status row
  Shenzhen        // sz-orders / sz-trades: YYYYMMDDHHMMSSsss times, ExecType F/4
};

// The day's order rows (or, for ShanghaiTicks, every row) with the layout's header.
std::string layout_orders_text(const Day& day, FileLayout layout);
// The day's trade rows with the layout's header ("" for ShanghaiTicks).
std::string layout_trades_text(const Day& day, FileLayout layout);

}  // namespace qlsim

#endif  // QUOTELAB_SIM_LAYOUT_WRITER_H
