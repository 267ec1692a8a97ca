#!/usr/bin/env bash
# Builds the Debian package of the native command-line tool:
#   packaging/build-deb.sh NATIVE_BUILD OUT_DIR
# NATIVE_BUILD is a native build tree with cli/daveridur-cli and
# generated/version.env; the package lands in OUT_DIR as
# daveridur-cli_<version>_amd64.deb, and its name is printed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
out=$2
source "$build/generated/version.env"
version=$DAVERIDUR_VERSION
cli=$build/cli/daveridur-cli
[ -x "$cli" ] || { echo "no $cli" >&2; exit 1; }
here=$root/packaging/debian
top=$(sed -n '1s/^daveridur-cli (\([^)]*\)).*/\1/p' "$here/changelog")
if [ "$top" != "$version" ]; then
  echo "packaging/debian/changelog starts with $top, the tree is at $version: add its entry" >&2
  exit 1
fi

work=$(mktemp -d /tmp/daveridur-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
pkg=$work/daveridur-cli
doc=$pkg/usr/share/doc/daveridur-cli
mkdir -p "$pkg/DEBIAN" "$pkg/usr/bin" "$pkg/usr/share/man/man1" "$doc"

strip --remove-section=.comment --remove-section=.note --strip-unneeded \
  -o "$pkg/usr/bin/daveridur-cli" "$cli"
chmod 0755 "$pkg/usr/bin/daveridur-cli"
# The page carries the version and the changelog entry's date itself, so
# that the page read from the tree (man -l) says them too; it goes as it is.
date=$(date -u -d "$(sed -n 's/^ -- .*>  //p' "$here/changelog" | head -n1)" +%Y-%m-%d)
title=".TH DAVERIDUR-CLI 1 \"$date\" \"daveridur-cli $version\" \"User Commands\""
if [ "$(head -n1 "$here/daveridur-cli.1")" != "$title" ]; then
  echo "packaging/debian/daveridur-cli.1 does not start with the tree's version and date: $title" >&2
  exit 1
fi
gzip -9n < "$here/daveridur-cli.1" > "$pkg/usr/share/man/man1/daveridur-cli.1.gz"
gzip -9n < "$here/changelog" > "$doc/changelog.gz"
{ cat "$here/copyright.in"; sed -n '5,$p' "$root/LICENSE" | sed 's/^$/./; s/^/ /'; } > "$doc/copyright"

# The libraries' packages, as dpkg-shlibdeps finds them for the binary.
mkdir -p "$work/debian"
printf 'Source: daveridur-cli\n\nPackage: daveridur-cli\nArchitecture: amd64\n' > "$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "$pkg/usr/bin/daveridur-cli" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }
size=$(du -k -s --apparent-size "$pkg/usr" | cut -f1)
sed "s/@VERSION@/$version/; s/@SIZE@/$size/; s/@DEPENDS@/$depends/" "$here/control.in" > "$pkg/DEBIAN/control"
find "$pkg" -type d -exec chmod 0755 {} +
find "$pkg/usr/share" -type f -exec chmod 0644 {} +
(cd "$pkg" && find usr -type f -print0 | sort -z | xargs -0 md5sum > DEBIAN/md5sums)
chmod 0644 "$pkg/DEBIAN/md5sums" "$pkg/DEBIAN/control"

deb=daveridur-cli_${version}_amd64.deb
mkdir -p "$out"
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$out/$deb" >/dev/null
echo "$deb"
