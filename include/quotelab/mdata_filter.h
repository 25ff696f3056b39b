/* quotelab: the snapshot filter.
 *
 * MDataFilter drops Level-2 snapshots that bring nothing new: older than the last snapshot it
 * passed for the same instrument (exchange and symbol), or a repeat of it. For exchange 11
 * (Zhengzhou) a snapshot with the same timestamp still passes when its volume or best quotes
 * changed, since that exchange repeats timestamps.
 */
#ifndef QUOTELAB_MDATA_FILTER_H
#define QUOTELAB_MDATA_FILTER_H

#include "quotelab/export.h"
#include "quotelab/records.h"
#include "quotelab/utilcore.h"

namespace KX {

/* Per-instrument memory of the last passed snapshot, keyed by the exchange byte followed by the
 * symbol (read within its 30-byte field). Records come from one pool released in one step.
 * Not thread-safe: one thread at a time per filter. Copying is not offered. */
class QL_API MDataFilter : public StringTable {
 public:
  explicit MDataFilter(int size = 8192);
  ~MDataFilter();
  MDataFilter(const MDataFilter&) = delete;
  MDataFilter& operator=(const MDataFilter&) = delete;

  /* Returns 0 to pass the snapshot (first of its instrument, newer, or for exchange 11 a
   * changed volume, best volume or best price at the same timestamp; a NaN price counts as a
   * change) and remembers it; 1 to drop it (older, a repeat, or NULL), changing nothing. */
  int filter(const _L2Snapshot* snap);
  /* Forgets every instrument. */
  void clear();
  /* Returns the number of instruments remembered. */
  int size() const;

 private:
  epool_s* pool = nullptr;
};

}  // namespace KX

#endif /* QUOTELAB_MDATA_FILTER_H */
