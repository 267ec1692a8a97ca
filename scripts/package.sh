#!/usr/bin/env bash
# Builds the release packages into dist/:
#   Daveridur-<version>-setup.exe  the Windows installer
#   Daveridur-<version>-win64.zip  the programs, the guide and the licence in
#                                  one folder, to run from anywhere
#   daveridur-cli_<version>_amd64.deb  the command-line tool for Debian and
#                                  its derivatives, with its manual page
#   SHA256SUMS                     the checksums of all three
# The version is the one at the top of CMakeLists.txt.
#
#   scripts/package.sh [--prebuilt DIR] [--prebuilt-native DIR] [--out DIR]
#
# By default it configures and builds release trees of its own
# (build/package, build/package-native) from the sources as they are.
# --prebuilt takes the programs of an existing Windows build instead, and
# --prebuilt-native the command-line tool of a native one (the package
# tests do).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=$root/build/package
out=$root/dist
prebuilt=""
native=""
while [ $# -gt 0 ]; do
  case "$1" in
    --prebuilt) prebuilt=$(cd "$2" && pwd); shift 2 ;;
    --prebuilt-native) native=$(cd "$2" && pwd); shift 2 ;;
    --out) mkdir -p "$2"; out=$(cd "$2" && pwd); shift 2 ;;
    *) echo "usage: scripts/package.sh [--prebuilt DIR] [--prebuilt-native DIR] [--out DIR]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh

if [ -z "$prebuilt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake \
    -DDAVERIDUR_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
  targets=(daveridur)
  # The command-line program joins the packages once the tree builds it.
  if ninja -C "$build" -t targets all | grep -q '^daveridur-cli:'; then
    targets+=(daveridur-cli)
  fi
  ninja -C "$build" "${targets[@]}"
else
  build=$prebuilt
fi

if [ -z "$native" ]; then
  native=$root/build/package-native
  cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DDAVERIDUR_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
  ninja -C "$native" daveridur-cli
fi

source "$build/generated/version.env"
version=$DAVERIDUR_VERSION
program=$build/app/daveridur.exe
cli=$build/cli/daveridur-cli.exe
[ -f "$cli" ] || cli=$(find "$build" -name daveridur-cli.exe -print -quit)
[ -f "$program" ] || { echo "no $program" >&2; exit 1; }

work=$(mktemp -d /tmp/daveridur-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
stage=$work/Daveridur-$version
mkdir -p "$stage"

# The programs, stripped of their symbols: an operator has no use for them.
x86_64-w64-mingw32-strip -o "$stage/daveridur.exe" "$program"
nsis_cli=()
if [ -n "$cli" ]; then
  x86_64-w64-mingw32-strip -o "$stage/daveridur-cli.exe" "$cli"
  nsis_cli=(-DWITH_CLI)
fi
/usr/bin/python3 packaging/guide_html.py docs/guide.md "$stage/guide.html" "$version"
sed 's/\r*$/\r/' LICENSE > "$stage/LICENSE.txt"

setup=Daveridur-$version-setup.exe
zip=Daveridur-$version-win64.zip
mkdir -p "$out"
rm -f "$out"/Daveridur-*-setup.exe "$out"/Daveridur-*-win64.zip "$out"/daveridur-cli_*_amd64.deb \
  "$out/SHA256SUMS"

makensis -V2 -DVERSION="$version" -DBUILD="$DAVERIDUR_BUILD" -DMAJOR="$DAVERIDUR_VERSION_MAJOR" \
  -DMINOR="$DAVERIDUR_VERSION_MINOR" -DCOMPANY="$DAVERIDUR_COMPANY" -DSTAGE="$stage" \
  -DOUTFILE="$out/$setup" "${nsis_cli[@]}" packaging/daveridur.nsi
(cd "$work" && zip -q -X -r "$out/$zip" "Daveridur-$version")
deb=$(packaging/build-deb.sh "$native" "$out")
(cd "$out" && sha256sum "$setup" "$zip" "$deb" > SHA256SUMS)

echo "packages of Daveridur $version (Build $DAVERIDUR_BUILD) in $out:"
(cd "$out" && ls -l "$setup" "$zip" "$deb" SHA256SUMS)
if [ -z "$cli" ]; then
  echo "note: this tree does not build daveridur-cli.exe yet; the packages hold daveridur.exe only"
fi
