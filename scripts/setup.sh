#!/usr/bin/env bash
# Installs what building and testing searchkey needs on Debian 12, once:
# the MinGW-w64 cross compilers, Wine and Xvfb for the Windows program, the
# Japanese locale (ANSI code page 932 under Wine) and a Japanese font;
# debootstrap for the root that runs the 32-bit build (tests/run32); zip
# for the download, strace for a console-tool test that fails a system call.
# A mirror that fails to answer is tried again (scripts/lib/net.sh).
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib/net.sh
. "$(dirname "$0")/lib/net.sh"
net_who=setup
net_todo="try again later (a mirror mid-sync settles within the hour), or choose another Debian mirror in /etc/apt/sources.list.d/debian.sources (or /etc/apt/sources.list)"

packages=(
  cmake g++ make libgtest-dev libbenchmark-dev clang libclang-rt-14-dev clang-format
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 xvfb x11-apps imagemagick locales fonts-ipafont-gothic fonts-wine
  debootstrap zip strace
  fusefat exfat-fuse ntfs-3g dosfstools exfatprogs xfsprogs btrfs-progs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# An index the update fails on only matters when the install then misses
# it: a failed fetch in either makes net_step try both again.
install_missing() {
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  net_step "apt-get" install_missing || { echo "setup: FAILED: $net_cause" >&2; exit 1; }
fi

if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  echo "setup: generating the ja_JP.UTF-8 locale"
  "${sudo[@]}" sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
  "${sudo[@]}" locale-gen >/dev/null
fi
