#!/usr/bin/env bash
# Builds the trees under build/: native (libraries, tools, unit tests),
# windows (daveridur.exe and the Wine tests), sanitize (the native programs
# with ASan and UBSan) and fuzz (clang, libFuzzer).
#   scripts/build.sh [TREE...]     (default: all four; DAVERIDUR_SKIP_SANITIZE
#                                   or DAVERIDUR_SKIP_FUZZ leave one out)
# The test command builds windows and native first; the sanitize and fuzz
# trees are built by CTest tests of their own, beside the first tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
werror=${DAVERIDUR_WERROR:-ON}
trees=("$@")
if [ ${#trees[@]} -eq 0 ]; then
  trees=(windows native)
  [ -z "${DAVERIDUR_SKIP_SANITIZE:-}" ] && trees+=(sanitize)
  [ -z "${DAVERIDUR_SKIP_FUZZ:-}" ] && trees+=(fuzz)
fi
for tree in "${trees[@]}"; do
  only=()
  case $tree in
    windows)
      # -O2, not CMake's -O3: a quarter less compile time, and nothing here
      # is bound by the processor.
      cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
        "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
        -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DDAVERIDUR_WERROR=$werror >/dev/null ;;
    native)
      # Line tables only (-g1): a failing test's backtrace and gdb's lines,
      # at half the compile time of full debug information.
      cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
        -DDAVERIDUR_WERROR=$werror -DDAVERIDUR_WINDOWS_BUILD_DIR="$root/build/windows" >/dev/null ;;
    sanitize)
      # The native programs again, Debug with AddressSanitizer and
      # UndefinedBehaviorSanitizer: CTest's "sanitize" label runs their tests.
      # With clang: a second compiler's warnings, in half of g++'s time.
      if [ -f build/sanitize/CMakeCache.txt ] &&
         ! grep -q '^CMAKE_CXX_COMPILER:.*clang++$' build/sanitize/CMakeCache.txt; then
        rm -rf build/sanitize
      fi
      cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDAVERIDUR_SANITIZE=ON \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DDAVERIDUR_WERROR=$werror >/dev/null ;;
    fuzz)
      cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DDAVERIDUR_FUZZ=ON \
        -DDAVERIDUR_WERROR=$werror >/dev/null
      # The fuzz targets and what they link, not the other libraries.
      only=(tests/fuzz/all) ;;
    *) echo "build.sh: no tree $tree (windows, native, sanitize, fuzz)" >&2; exit 2 ;;
  esac
  ninja -C "build/$tree" "${only[@]}"
done
