#!/usr/bin/env bash
# Both builds on real file systems: for each volume a small image is made and
# mounted, one table of rows runs there with the native skconv and with
# skconv.exe under Wine (which sees the mount through its Z: drive), the bytes
# and the whole folder are checked, and the volume is unmounted. A volume this
# machine cannot mount, and a row a volume cannot hold (no read-only mark, no
# hard links), is reported as not run with the reason; it is never passed.
#
#   run.sh NATIVE_SKCONV SKCONV_EXE
#
# Mounts are made in a mount namespace of this run only, so that no other
# program's namespace keeps them; all volumes share one Wine prefix.
set -u
export PATH=$PATH:/usr/sbin:/sbin  # mkfs.*, losetup: not on every user's path
# name | image MiB | tools | FUSE | make the file system on $dev | mount $dev on $mnt
volumes=(
  FAT32 64 'mkfs.vfat fusefat' y 'mkfs.vfat -F 32 $dev' 'fusefat -o rw+ $dev $mnt'
  exFAT 64 'mkfs.exfat mount.exfat-fuse' y 'mkfs.exfat $dev' 'mount.exfat-fuse $dev $mnt'
  NTFS 64 'mkntfs ntfs-3g' y 'mkntfs -f -q $dev' 'ntfs-3g $dev $mnt'
  XFS 300 'mkfs.xfs' n 'mkfs.xfs -q $dev' 'mount -t xfs $dev $mnt'
  Btrfs 128 'mkfs.btrfs' n 'mkfs.btrfs -q $dev' 'mount -t btrfs $dev $mnt'
)

here=$(cd "$(dirname "$0")" && pwd)
case ${1:-} in
  __in_wine) shift ;;
  __in_namespace) shift; exec "$here/../wine/with_wine.sh" --timeout 600 bash "$0" __in_wine "$@" ;;
  *)
    native=$(realpath "$1") && exe=$(realpath "$2") || exit 1
    if [ "$(id -u)" != 0 ]; then
      for ((v = 0; v < ${#volumes[@]}; v += 6)); do echo "${volumes[v]}: not run: not root"; done
      echo "volumes mounted: none; not run: all (not root)"
      exit 0
    fi
    exec unshare --mount --propagation private -- bash "$0" __in_namespace "$native" "$exe"
    ;;
esac
native=$1 exe=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/searchkey-volumes.XXXXXX")
mnt=$work/mnt dev='' mounted=''
cleanup() {
  [ -n "$mounted" ] && { umount "$mnt" 2>/dev/null || umount -l "$mnt"; }
  [ -n "$dev" ] && losetup -d "$dev" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

orig='a,1\nb,\nc,0\n' conv='a,1\r\nb,101\r\nc,0102\r\n' keep='keep\n'
# The mode shows no write bit at all: where chmod is ignored, nothing is read-only.
read_only() {
  [ -z "$(find "$1" -perm /222)" ] || { echo "the volume keeps no read-only mark (mode $(stat -c %a "$1"))" && false; }
}
# what | set up beside d.csv (fails where the volume cannot hold it) | exit |
# what skconv prints | what skconv.exe prints | the folder afterwards: name=bytes
rows=(
  'plain conversion' ':' 0 'converted: d.csv: lines: 3, given a key number: 2 (2, 3)' '変換しました: d.csv: 3 行のうち 2 行に番号を付けました (2、3 行目)' "d.csv=$conv"
  'read-only file' 'chmod a-w d.csv && read_only d.csv' 1 '*: the file is read-only' '*: ファイルは読み取り専用です' "d.csv=$orig"
  'second name' 'ln d.csv e.csv' 1 '*: the file has another name as well*' '*: ファイルには別の名前 (ハード リンク) もあります*' "d.csv=$orig e.csv=$orig"
  'workfile.txt there' 'printf "$keep" >workfile.txt' 1 '*: workfile.txt already exists*' '*: フォルダーに workfile.txt がすでにあります*' "d.csv=$orig workfile.txt=$keep"
)

passed=0 fails=0 not_run=0 ran=() skipped=()
report() { printf '  %-6s %-10s %-19s %s\n' "$@"; }

# run_rows VOLUME: every row with each build, in a fresh folder on $mnt.
run_rows() {
  local build r what setup want expect folder case out got problems entry name bytes
  for build in skconv skconv.exe; do
    for ((r = 0; r < ${#rows[@]}; r += 6)); do
      what=${rows[r]} setup=${rows[r + 1]} want=${rows[r + 2]} folder=${rows[r + 5]}
      expect=${rows[r + 3]}
      [ $build = skconv.exe ] && expect=${rows[r + 4]}
      case=$mnt/$build-$((r / 6))
      mkdir "$case" && printf "$orig" >"$case/d.csv" || exit 1
      if ! out=$(cd "$case" && LC_ALL=C eval "$setup" 2>&1); then
        report "$1" $build "$what" "not run: ${out:-the set-up failed}"
        not_run=$((not_run + 1))
        continue
      fi
      # Into a file: Wine's own programs, started with the first row, keep
      # what they inherit open until the prefix is ended.
      if [ $build = skconv ]; then
        (cd "$case" && "$native" d.csv) >"$work/out" 2>&1
      else
        (cd "$case" && wine "$exe" d.csv) >"$work/out" 2>&1
      fi
      got=$?
      out=$(iconv -f CP932 -t UTF-8 "$work/out" | tr -d '\r')
      problems=()
      [ "$got" = "$want" ] || problems+=("exit status $got, expected $want")
      # shellcheck disable=SC2053
      [[ $out == $expect ]] || problems+=("printed [$out], expected [$expect]")
      for entry in $folder; do
        name=${entry%%=*} bytes=${entry#*=}
        cmp -s <(printf "$bytes") "$case/$name" || problems+=("$name is not as expected")
      done
      [ "$(cd "$case" && ls -A | sort)" = "$(printf '%s\n' $folder | sed 's/=.*//' | sort)" ] ||
        problems+=("the folder holds $(cd "$case" && ls -A | tr '\n' ' ')")
      if [ ${#problems[@]} = 0 ]; then
        report "$1" $build "$what" passed
        passed=$((passed + 1))
      else
        report "$1" $build "$what" "FAIL: $(printf '%s; ' "${problems[@]}")"
        fails=$((fails + 1))
      fi
    done
  done
}

for ((v = 0; v < ${#volumes[@]}; v += 6)); do
  vol=${volumes[v]} mib=${volumes[v + 1]} tools=${volumes[v + 2]} fuse=${volumes[v + 3]}
  why=
  for t in $tools; do
    [ -n "$why" ] || command -v "$t" >/dev/null || why="$t is not installed"
  done
  [ -n "$why" ] || [ "$fuse" = n ] || [ -c /dev/fuse ] || why="no /dev/fuse"
  if [ -z "$why" ]; then
    truncate -s "${mib}M" "$work/image" && mkdir -p "$mnt"
    dev=$(losetup --find --show "$work/image" 2>&1) || { why="no loop device: $dev"; dev=; }
  fi
  if [ -z "$why" ]; then
    if ! out=$(eval "${volumes[v + 4]}" 2>&1 </dev/null); then
      why="${volumes[v + 4]%% *} failed: $out"
    elif ! out=$(eval "${volumes[v + 5]}" 2>&1 </dev/null); then
      why="cannot mount: $out"
    else
      mounted=y
    fi
  fi
  if [ -n "$why" ]; then
    echo "$vol: not run: $why"
    skipped+=("$vol")
  else
    echo "$vol: mounted ($(findmnt -n -o FSTYPE "$mnt"), ${mib} MiB image)"
    ran+=("$vol")
    run_rows "$vol"
    umount "$mnt" || { echo "$vol: FAIL: cannot unmount"; fails=$((fails + 1)); umount -l "$mnt"; }
  fi
  mounted=
  [ -n "$dev" ] && losetup -d "$dev"
  dev=
  rm -f "$work/image"
done

echo "rows: $passed passed, $fails failed, $not_run not run"
echo "volumes mounted: ${ran[*]:-none}; not run: ${skipped[*]:-none}"
exit $((fails != 0))
