#!/usr/bin/env bash
# Installs what the builds and tests need from Debian's packages, once.
set -euo pipefail
packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev googletest
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 fonts-wine xvfb x11-apps x11-utils imagemagick
  iproute2 util-linux bsdextrautils python3 file libxtst6
  nsis python3-markdown zip unzip
  tftpd-hpa tftp-hpa libcli11-dev
  dpkg-dev lintian man-db
  ansible-core openssh-server openssh-client
  chromium
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
# tftpd-hpa would start its server on the host's port 69, openssh-server its
# sshd on port 22; the benchmark runs in.tftpd itself and the Ansible test
# its own sshd, only inside the private network. A policy-rc.d that
# refuses every start holds the service back during the install (unless the
# machine already has a policy of its own, which is then left alone).
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  own_policy=1
fi
trap '[ -n "$own_policy" ] && $sudo rm -f "$policy"' EXIT
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# A system without invoke-rc.d (no policy asked) may have started it anyway.
if command -v systemctl >/dev/null && systemctl is-active --quiet tftpd-hpa 2>/dev/null; then
  $sudo systemctl disable --now tftpd-hpa >/dev/null 2>&1 || true
fi
# The same for the sshd of openssh-server, when this install brought it (one
# that was there before is the machine's own, and left alone).
if [[ " ${missing[*]} " == *" openssh-server "* ]] && command -v systemctl >/dev/null &&
   systemctl is-active --quiet ssh 2>/dev/null; then
  $sudo systemctl disable --now ssh >/dev/null 2>&1 || true
fi
