#!/usr/bin/env bash
# Compares the dynamic symbols libquotelab exports with the checked list cmake/quotelab.exports
# (demangled names, one a line, sorted). After a deliberate change to the public interface,
# regenerate the list from a default build and commit it with the change:
#   cmake/check_exports.sh build/default/libquotelab.so --update
set -euo pipefail
lib=${1:?usage: check_exports.sh LIBRARY [--update]}
list="$(dirname "$0")/quotelab.exports"

exported() {
  # Name only: the address and the symbol kind (T, W, V, ...) do not make the interface.
  nm -D --defined-only -C "$lib" | sed -E 's/^[0-9a-fA-F]+ [A-Za-z] //' | LC_ALL=C sort -u
}

# Test hooks (ql__*) belong to the static quotelab_testing library, never to the shipped one.
hooks=$(exported | grep '^ql__' || true)
if [ -n "$hooks" ]; then
  echo "libquotelab exports test hooks (move them to src/testing/):"
  echo "$hooks"
  exit 1
fi

if [ "${2:-}" = "--update" ]; then
  exported >"$list"
  echo "wrote $(wc -l <"$list") symbols to $list"
  exit 0
fi

if ! diff -u "$list" <(exported) >/tmp/quotelab-exports.$$.diff; then
  echo "libquotelab exports differ from $list ('-' listed only, '+' exported only):"
  cat /tmp/quotelab-exports.$$.diff
  rm -f /tmp/quotelab-exports.$$.diff
  echo "If the change is deliberate: cmake/check_exports.sh $lib --update"
  exit 1
fi
rm -f /tmp/quotelab-exports.$$.diff
echo "libquotelab exports match $list ($(wc -l <"$list") symbols)"
