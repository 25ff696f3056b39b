// The version of the loaded library, so a host can compare it with the headers it was built with.
#include "quotelab/export.h"

extern "C" int ql_version_number(void) {
  return QUOTELAB_VERSION;
}

extern "C" const char* ql_version_string(void) {
  return QUOTELAB_VERSION_STRING;
}
