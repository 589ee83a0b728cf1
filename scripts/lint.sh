#!/usr/bin/env bash
# Style and static checks of the tracked sources.
#   scripts/lint.sh               clang-format check, then clang-tidy (.clang-tidy)
#   scripts/lint.sh --fix-format  rewrite the sources in the repository's style
# clang-tidy reads a compile database of a clang-configured build in
# build/lint (configured only, never built: the checks need no objects).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
mapfile -t sources < <(git ls-files -- '*.cpp' '*.cc' '*.h' '*.hpp')

if [[ ${1:-} == --fix-format ]]; then
  clang-format -i "${sources[@]}"
  exit 0
fi

echo "=== clang-format (${#sources[@]} files)"
clang-format --dry-run --Werror "${sources[@]}"

# The library, the host platform and the programs. Tests are left out: the
# test framework's macros expand to code that trips several checks (owning
# raw pointers, magic statics, goto-like control flow) for no fault of ours.
mapfile -t tidy_sources < <(git ls-files -- 'log/*.cpp' 'facade/*.cpp' 'host/*.cpp' 'tools/*.cpp')
echo "=== clang-tidy (${#tidy_sources[@]} files)"
if ((${#tidy_sources[@]} == 0)); then
  exit 0
fi
cmake -S . -B build/lint -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCOMM_RMS_BUILD_TESTS=OFF >/dev/null
printf '%s\n' "${tidy_sources[@]}" |
  xargs -P "${jobs}" -n 1 clang-tidy -p build/lint --quiet --warnings-as-errors='*' 2> >(grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' >&2)
echo "=== lint clean"
