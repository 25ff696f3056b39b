// Texts of the named results. Several names may share a value (facilities reuse small
// negative numbers), so the text of a value joins the texts of all its names.
#include "quotelab/result.h"

#include <string>
#include <utility>
#include <vector>

namespace {

struct named_result {
  int value;
  const char* text;
};

#define QL_RESULT_TEXT_ENTRY_(name, value, text) {value, text},
constexpr named_result kResults[] = {QL_RESULT_LIST(QL_RESULT_TEXT_ENTRY_)};
#undef QL_RESULT_TEXT_ENTRY_

using joined_texts = std::vector<std::pair<int, std::string>>;

// One entry per distinct value, in list order; equal texts are given once.
joined_texts join_texts() {
  joined_texts out;
  for (const named_result& r : kResults) {
    auto it = out.begin();
    while (it != out.end() && it->first != r.value) ++it;
    if (it == out.end()) {
      out.emplace_back(r.value, r.text);
    } else if (it->second.find(r.text) == std::string::npos) {
      it->second += "; ";
      it->second += r.text;
    }
  }
  return out;
}

}  // namespace

extern "C" const char* ql_result_str(int code) {
  if (code >= 0) return "success";
  try {
    static const joined_texts texts = join_texts();
    for (const auto& t : texts) {
      if (t.first == code) return t.second.c_str();
    }
  } catch (...) {
    // Out of memory on the first call: the texts cannot be built; say so rather than throw.
    return "unknown result (no memory for the result texts)";
  }
  return "unknown result";
}
