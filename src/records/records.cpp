// Record sizes by type code.
#include "quotelab/records.h"

extern "C" int ql_record_size(int type) {
  switch (type) {
    case QL_RECORD_L1SNAPSHOT:
      return QL_L1SNAPSHOT_SIZE;
    case QL_RECORD_L2SNAPSHOT:
      return QL_L2SNAPSHOT_SIZE;
    case QL_RECORD_L2TRADE:
      return QL_L2TRADE_SIZE;
    case QL_RECORD_L2ORDER:
      return QL_L2ORDER_SIZE;
    case QL_RECORD_MDINDEX:
      return QL_MDINDEX_SIZE;
    case QL_RECORD_BAR:
      return QL_BAR_SIZE;
    default:
      return 0;
  }
}
