// Helpers shared by the replay kinds; internal to the replay module.
#ifndef QUOTELAB_SRC_REPLAY_REPLAY_DETAIL_H
#define QUOTELAB_SRC_REPLAY_REPLAY_DETAIL_H

namespace KX {
namespace detail {

// The text a message prints for a path argument that may be NULL.
inline const char* printable_path(const char* path) {
  return path != nullptr ? path : "(null)";
}

}  // namespace detail
}  // namespace KX

#endif  // QUOTELAB_SRC_REPLAY_REPLAY_DETAIL_H
