// quotelab simulate --symbols N (simulate_market.cpp).
#pragma once

#include <string>

#include "args.h"
#include "record_io.h"

namespace qltool {

// Writes a simulated market day (qlsim::simulate_market) into the two record files and, with
// --sequence-out, its sequence. Returns the exit code.
int run_simulate_market(const Args& args, const std::string& orders_out,
                        const std::string& trades_out, bool format_given, FileFormat format);

}  // namespace qltool
