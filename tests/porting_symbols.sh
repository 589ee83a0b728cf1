#!/bin/sh
# The device platform's porting list, platform/SYMBOLS, is exactly what the
# built library leaves undefined apart from the C and C++ runtimes (their
# symbols carry a version): a port built from it links.
#   porting_symbols.sh NM LIBRARY LIST
"$1" -D -C --undefined-only "$2" | sed -n 's/^ *U \([^@]*\)$/\1/p' | LC_ALL=C sort |
  diff -u "$3" -
