#include "layout_columns.h"

#include <cstdio>
#include <vector>

#include "args.h"
#include "quotelab/layout_reader.h"

namespace qltool {
namespace {

const char* content_text(KX::LayoutContent c) {
  switch (c) {
    case KX::LayoutContent::Orders:
      return "orders";
    case KX::LayoutContent::Trades:
      return "trades";
    case KX::LayoutContent::Ticks:
      return "orders and trades in one stream";
    case KX::LayoutContent::Snapshots:
      return "exchange snapshots";
  }
  return "";
}

}  // namespace

int print_builtin_layouts() {
  for (int i = 0; i < KX::LayoutReader::builtin_layout_count(); ++i) {
    std::printf("%s%s", i ? "\n" : "", KX::LayoutReader::builtin_layout_profile(i).c_str());
  }
  return kExitOk;
}

bool print_layout_columns(const std::string& path, char delimiter, const InputSettings& settings,
                          std::string* why) {
  KX::LayoutReader reader;
  reader.set_delimiter(delimiter);
  int rc = 0;
  if (!settings.profile.empty()) {
    rc = reader.use_layout(settings.profile.c_str()) == 0
             ? 0
             : reader.load_profile(settings.profile.c_str());
  }
  if (rc == 0 && !settings.map.empty()) rc = reader.apply_map(settings.map.c_str());
  if (rc == 0 && !settings.values.empty()) rc = reader.apply_values(settings.values.c_str());
  if (rc != 0 || reader.open(path.c_str()) != 0) {
    *why = reader.error();
    return false;
  }
  const std::vector<std::string>& header = reader.header();
  const std::vector<KX::LayoutBinding> bindings = reader.bindings();
  std::printf("%s: %zu column%s, layout %s (%s)\n", path.c_str(), header.size(),
              header.size() == 1 ? "" : "s", reader.layout_name().c_str(),
              content_text(reader.content()));
  size_t bound = 0;
  for (size_t col = 0; col < header.size(); ++col) {
    std::string fields;
    for (const KX::LayoutBinding& b : bindings) {
      if (b.position == static_cast<int>(col)) fields += (fields.empty() ? "" : ", ") + b.field;
    }
    bound += !fields.empty();
    std::printf("  %3zu  %-24s %s\n", col, header[col].c_str(),
                fields.empty() ? "(nothing)" : ("-> " + fields).c_str());
  }
  std::printf("%zu of %zu columns bound; the exchange sequence %s\n", bound, header.size(),
              reader.has_sequence() ? "is in a column: files merge by it" : "is not in the file");
  return true;
}

}  // namespace qltool
