#!/usr/bin/env bash
# Runs a command where the 32-bit Windows build really runs: inside an amd64
# Debian 12 root with Debian's wine32, every 32-bit process handed to
# qemu-i386 (qemu-user-static from bookworm-backports) through a binfmt_misc
# entry of our own. Kernels whose IA-32 emulation is off cannot run 32-bit
# Wine any other way; the host's own dpkg is never given the i386 architecture.
#
#   run32.sh --prepare                        build or check the root, run nothing
#   run32.sh [--timeout SECONDS] COMMAND [ARG...]
#
# COMMAND runs in the root under tests/wine/with_wine.sh (a Wine prefix and
# Xvfb display of its own, code page 932), in the current folder. The project
# folder and /tmp are seen at the same paths inside as outside. Mounts are made
# in a mount namespace of this run only; the binfmt entry is removed afterwards.
# The command's environment is made anew, with SEARCHKEY_RUN32=1 and, when it
# is set here, QEMU_CPU: the processor that qemu-i386 emulates for every
# 32-bit process (QEMU_CPU=pentium3, one without SSE2; the default has it).
# A command inside may set QEMU_CPU for one program as well.
#
# The root is built once per machine, atomically, into $SEARCHKEY_RUN32_ROOT
# (default /var/cache/searchkey/run32-root) and reused while its stamp matches,
# from the host's Debian mirror or $SEARCHKEY_RUN32_MIRROR; each step that
# fetches is tried again when the mirror fails (scripts/lib/net.sh).
# Exit code: the command's; 77 when this machine cannot run the 32-bit build,
# with the reason and what to do on a line "run32: SKIPPED: ..."; when the
# root cannot be built, 1 with a line "run32: FAILED: ...".
set -u
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
# shellcheck source-path=SCRIPTDIR source=../../scripts/lib/net.sh
. "$project/scripts/lib/net.sh"
net_who=run32
net_todo="try again later (a mirror mid-sync settles within the hour), or build from another Debian mirror: SEARCHKEY_RUN32_MIRROR=http://MIRROR/debian"
root=${SEARCHKEY_RUN32_ROOT:-/var/cache/searchkey/run32-root}
packages="wine wine32 wine64 xvfb locales fonts-ipafont-gothic fonts-wine cmake"
# What a usable root holds; any change here makes the next run build a new one.
stamp_line="searchkey run32 root 1: bookworm amd64+i386; $packages; qemu-user-static/bookworm-backports"
qemu=/usr/libexec/qemu-binfmt/i386-binfmt-P
bm=/proc/sys/fs/binfmt_misc
# i386 ELF executables, as Debian's qemu-user-static describes them.
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

skip() {
  echo "run32: SKIPPED: $*" >&2
  exit 77
}
note() { echo "run32: $*" >&2; }

# The Debian mirror the host itself uses, so a machine behind its own mirror works.
host_mirror() {
  local m=${SEARCHKEY_RUN32_MIRROR:-}
  if [ -z "$m" ] && [ -f /etc/apt/sources.list.d/debian.sources ]; then
    m=$(awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$m" ] && [ -f /etc/apt/sources.list ]; then
    m=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
  fi
  echo "${m:-http://deb.debian.org/debian}"
}

# A new try starts from an empty folder: debootstrap does not resume.
bootstrap() {
  local m
  awk -v d="$1/" 'index($2, d) == 1 { print $2 }' /proc/self/mounts | sort -r |
    while read -r m; do umount -l "$m"; done
  rm -rf --one-file-system "$1" &&
    debootstrap --variant=minbase --arch=amd64 bookworm "$1" "$2"
}

# Tried again after a failed fetch, the update also finds a pool that moved.
root_packages() {
  # shellcheck disable=SC2086
  "${in[@]}" apt-get update -q --error-on=any &&
    "${in[@]}" apt-get install -y -q $packages &&
    "${in[@]}" apt-get install -y -q -t bookworm-backports qemu-user-static
}

# Inside a private mount namespace: debootstrap and the packages into $1.
build_root() {
  local new=$1 mirror=$2
  net_tell_fd=3
  net_step debootstrap bootstrap "$new" "$mirror" || { echo "run32: FAILED: $net_cause" >&2; return 1; }
  set -e
  mount -t proc proc "$new/proc"
  mount --rbind /dev "$new/dev"
  cp /etc/resolv.conf "$new/etc/resolv.conf" 2>/dev/null || true
  printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d"  # no services start in the root
  chmod 755 "$new/usr/sbin/policy-rc.d"
  # Only the suites the packages come from: each further suite is one more
  # index a mirror mid-sync can fail on. bookworm is complete by itself (the
  # root runs the project's tests and nothing else, so it does without the
  # security and stable updates); backports gives qemu-user-static alone.
  cat >"$new/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb [arch=amd64] $mirror bookworm-backports main
EOF
  in=(chroot "$new" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive)
  "${in[@]}" dpkg --add-architecture i386
  net_step "apt-get in the root" root_packages || { echo "run32: FAILED: $net_cause" >&2; return 1; }
  sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' "$new/etc/locale.gen"
  "${in[@]}" locale-gen
  "${in[@]}" apt-get clean
  [ -e "$new$qemu" ] || { echo "run32: FAILED: the root has no $qemu after installing qemu-user-static" >&2; return 1; }
  {
    echo "$stamp_line"
    "${in[@]}" dpkg-query -W -f='${Package}:${Architecture} ${Version}\n' wine32 wine64 qemu-user-static
  } >"$new/.searchkey-run32-stamp"
}

# Inside a private mount namespace: binfmt_misc mounted and enabled.
binfmt_ready() {
  if [ ! -e "$bm/register" ]; then
    mount -t binfmt_misc binfmt_misc "$bm" 2>/dev/null ||
      skip "binfmt_misc is not mounted and cannot be mounted (kernel without CONFIG_BINFMT_MISC?); run on a kernel with it, in a container allowed to mount (docker run --privileged)"
  else
    note "binfmt_misc already mounted"
  fi
  [ "$(cat "$bm/status" 2>/dev/null)" = enabled ] ||
    skip "binfmt_misc is disabled on this machine ($bm/status); enable it: echo 1 >$bm/status"
}

# Inside a private mount namespace: register the emulator, mount, run.
run_inside() {
  local limit=$1
  shift
  binfmt_ready

  local e name pid
  for e in "$bm"/*; do
    name=${e##*/}
    case $name in register | status) continue ;; esac
    if [[ $name == searchkey-i386-* ]]; then
      pid=${name#searchkey-i386-}
      if ! kill -0 "$pid" 2>/dev/null; then
        note "removing $name, left by a run that was killed"
        echo -1 >"$e" 2>/dev/null || true
      fi
      continue
    fi
    if grep -q '^magic 7f454c46010101000000000000000000020003' "$e" 2>/dev/null; then
      note "another i386 handler is registered: $name ($(head -1 "$e"), $(grep '^interpreter' "$e")); ours is registered after it and is the one used"
    fi
  done

  local entry=searchkey-i386-$$
  trap 'echo -1 >"$bm/'"$entry"'" 2>/dev/null' EXIT
  trap 'exit 130' INT TERM  # so that the entry goes on these too
  # F: the kernel opens the interpreter now, so it also works inside the chroot.
  printf ':%s:M::%s:%s:%s:POCF' "$entry" "$i386_magic" "$i386_mask" "$root$qemu" >"$bm/register" ||
    skip "could not register $entry in binfmt_misc; run where binfmt_misc takes new entries (as root, docker run --privileged)"

  mount -t proc proc "$root/proc" &&
    mount --rbind /dev "$root/dev" &&
    mount --bind /tmp "$root/tmp" &&
    mkdir -p "$root$project" &&
    mount --bind "$project" "$root$project" ||
    skip "could not mount proc, /dev, /tmp or $project in $root; run with the right to mount (docker run --privileged)"

  local work
  work=$(mktemp -d /tmp/searchkey-run32.XXXXXX)
  # shellcheck disable=SC2016
  chroot "$root" env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME="$work" TMPDIR=/tmp \
    SEARCHKEY_RUN32=1 ${WINEDEBUG:+WINEDEBUG=$WINEDEBUG} ${QEMU_CPU:+QEMU_CPU=$QEMU_CPU} \
    bash -c 'cd "$1" || exit 1; shift; exec "$@"' _ "$PWD" \
    "$project/tests/wine/with_wine.sh" --timeout "$limit" "$@"
  local rc=$?
  rm -rf "$work"
  umount -R "$root$project" "$root/tmp" "$root/dev" "$root/proc" 2>/dev/null
  return $rc
}

case ${1:-} in
  __build) shift; build_root "$@"; exit ;;
  __check) binfmt_ready; exit ;;
  __run) shift; run_inside "$@"; exit ;;
esac

limit=600
prepare_only=
if [ "${1:-}" = "--prepare" ]; then prepare_only=1; shift; fi
if [ "${1:-}" = "--timeout" ]; then limit=$2; shift 2; fi
[ -n "$prepare_only" ] || [ $# -gt 0 ] || { echo "usage: run32.sh [--prepare] [--timeout SECONDS] COMMAND [ARG...]" >&2; exit 2; }

[ "$(id -u)" -eq 0 ] || skip "needs root (debootstrap, chroot, mounts and binfmt_misc); run as root, as .ci/run does"
for tool in debootstrap unshare chroot flock; do
  command -v "$tool" >/dev/null || skip "$tool is missing: run scripts/setup.sh"
done
case $PWD/ in
  "$project"/* | /tmp/*) ;;
  *) echo "run32: run from inside $project or /tmp: nothing else is seen in the root" >&2; exit 2 ;;
esac

# Found out before a root is built for nothing.
unshare --mount --propagation private -- bash "$0" __check || exit
mkdir -p "$(dirname "$root")" || skip "cannot create $(dirname "$root"); set SEARCHKEY_RUN32_ROOT to a folder of your own"
exec 9>"$root.lock"
flock 9  # one builder at a time; a second run waits and then reuses
if [ "$(head -1 "$root/.searchkey-run32-stamp" 2>/dev/null)" = "$stamp_line" ]; then
  note "reusing $root ($(tail -n +2 "$root/.searchkey-run32-stamp" | tr '\n' ' '))"
else
  mirror=$(host_mirror)
  note "building $root from $mirror (once per machine, a few minutes)"
  probe=$(mktemp)
  net_todo="connect this machine to the network, or point SEARCHKEY_RUN32_MIRROR at a Debian mirror it reaches" \
    net_step apt-helper timeout 60 /usr/lib/apt/apt-helper download-file "$mirror/dists/bookworm/Release" "$probe" >/dev/null
  probe_rc=$?
  rm -f "$probe"
  [ $probe_rc -eq 0 ] || skip "the root is not built yet and its mirror cannot be reached: $net_cause"
  new=$root.new.$$
  log=$root.build.log
  rm -rf --one-file-system "$root".new.*
  start=$SECONDS
  # The build's output goes to the log; notes on a retry (fd 3) are shown too.
  if ! unshare --mount --propagation private -- bash "$0" __build "$new" "$mirror" 3>&2 >"$log" 2>&1; then
    grep -v '^run32: FAILED: ' "$log" | tail -15 >&2
    rm -rf --one-file-system "$new"
    cause=$(sed -n 's/^run32: FAILED: //p' "$log" | tail -1)
    echo "run32: FAILED: building the root: ${cause:-it stopped; the lines above say why} (log: $log)" >&2
    exit 1
  fi
  if [ -e "$root" ]; then
    mv "$root" "$root.old.$$" && rm -rf --one-file-system "$root.old.$$"
  fi
  mv "$new" "$root"
  note "built $root in $((SECONDS - start)) s"
fi
exec 9>&-
[ -n "$prepare_only" ] && exit 0

unshare --mount --propagation private -- bash "$0" __run "$limit" "$@"
