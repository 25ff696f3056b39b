// `quotelab columns` for exchange and vendor layouts: the layout chosen for a file and what
// each of its columns binds, and the list of built-in layouts.
#pragma once

#include <string>

#include "input_files.h"

namespace qltool {

// Prints every built-in layout as a profile (the form --profile reads). Returns the exit code.
int print_builtin_layouts();

// Prints the layout that settles for the file under `settings` and each column's field.
// Returns true when a layout settled (the listing is printed); false with *why when none did
// (nothing printed), so that the caller may fall back to quotelab's own column names.
bool print_layout_columns(const std::string& path, char delimiter, const InputSettings& settings,
                          std::string* why);

}  // namespace qltool
