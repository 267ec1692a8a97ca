#!/usr/bin/env bash
# Builds the trees under build/: native (libraries, tools, unit tests),
# windows (daveridur.exe and the Wine tests), sanitize (the native programs
# with ASan and UBSan) and fuzz (clang, libFuzzer).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
werror=${DAVERIDUR_WERROR:-ON}
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DDAVERIDUR_WERROR=$werror >/dev/null
ninja -C build/windows
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDAVERIDUR_WERROR=$werror -DDAVERIDUR_WINDOWS_BUILD_DIR="$root/build/windows" >/dev/null
ninja -C build/native
# The native programs again, Debug with AddressSanitizer and
# UndefinedBehaviorSanitizer: CTest's "sanitize" label runs their tests.
if [ -z "${DAVERIDUR_SKIP_SANITIZE:-}" ]; then
  cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDAVERIDUR_SANITIZE=ON \
    -DDAVERIDUR_WERROR=$werror >/dev/null
  ninja -C build/sanitize
fi
[ -n "${DAVERIDUR_SKIP_FUZZ:-}" ] && exit 0
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DDAVERIDUR_FUZZ=ON \
  -DDAVERIDUR_WERROR=$werror >/dev/null
ninja -C build/fuzz
