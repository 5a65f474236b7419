#!/bin/sh
# An NTFS file system for the offline tests to run on, made and mounted the
# way users mount a Windows disk on Linux: a loop device holding a volume
# made by mkntfs, mounted through ntfs-3g (FUSE) or the kernel's ntfs3.
#
#   ntfs_mount.sh mount DRIVER DIR [SIZE]
#                                    DRIVER is ntfs-3g or ntfs3; the volume
#                                    (SIZE as truncate takes it, 64M unless
#                                    given) is held by DIR/image and mounted
#                                    on a folder of its own under /tmp, which
#                                    DIR/mountpoint names: tests that run the
#                                    program as another user need a volume
#                                    that user may reach, wherever DIR is
#   ntfs_mount.sh run DIR COMMAND... COMMAND with TESSARIL_TEST_WORK in it
#   ntfs_mount.sh unmount DIR        unmounts it and removes DIR
#
# Where the volume cannot be mounted here (not root, no /dev/fuse, no loop
# device, no driver), "mount" writes the reason to DIR/skipped; it and every
# "run" on DIR then say why and end with status 77, which CTest reports as
# skipped.
set -u
skip=77

unmount() {
  dir=$1
  if [ -f "$dir/mountpoint" ]; then
    mnt=$(cat "$dir/mountpoint")
    # findmnt reads the mount table: it also sees a FUSE volume whose driver
    # has died, which can no longer be looked at.
    if findmnt -rn -M "$mnt" >/dev/null 2>&1; then
      umount "$mnt" 2>/dev/null || umount -l "$mnt" || return 1
    fi
    rmdir "$mnt" 2>/dev/null
  fi
  # A loop device an interrupted run left on the image.
  if [ -f "$dir/image" ] && command -v losetup >/dev/null; then
    for dev in $(losetup -j "$dir/image" -O NAME -n 2>/dev/null); do
      losetup -d "$dev" 2>/dev/null
    done
  fi
  rm -rf "$dir"
}

cannot() {
  echo "$1" >"$dir/skipped"
  echo "NTFS ($driver) tests skipped: $1"
  exit $skip
}

case ${1:-} in
mount)
  driver=$2
  dir=$3
  unmount "$dir" || { echo "cannot unmount the volume of an earlier run of $dir" >&2; exit 1; }
  mkdir -p "$dir" || exit 1
  [ "$(id -u)" = 0 ] || cannot "mounting a volume needs root"
  command -v mkntfs >/dev/null || cannot "mkntfs is not installed (Debian package ntfs-3g)"
  command -v losetup >/dev/null || cannot "losetup is not installed"
  case $driver in
  ntfs-3g)
    command -v ntfs-3g >/dev/null || cannot "ntfs-3g is not installed"
    [ -c /dev/fuse ] || cannot "/dev/fuse is missing"
    ;;
  ntfs3)
    if ! grep -qw ntfs3 /proc/filesystems; then
      command -v modprobe >/dev/null && modprobe ntfs3 2>/dev/null
      grep -qw ntfs3 /proc/filesystems ||
        cannot "this kernel ($(uname -r)) has no ntfs3 driver (not in /proc/filesystems, no module to load)"
    fi
    ;;
  *)
    echo "unknown driver $driver" >&2
    exit 1
    ;;
  esac
  # Sparse: the size asked for costs only what is written.
  truncate -s "${4:-64M}" "$dir/image" && mkntfs -F -Q -q -L Tessaril "$dir/image" >/dev/null 2>&1 ||
    cannot "mkntfs cannot make a volume in $dir/image"
  mnt=$(mktemp -d /tmp/tessaril-ntfs.XXXXXX) || cannot "no folder of its own under /tmp to mount on"
  echo "$mnt" >"$dir/mountpoint"
  dev=$(losetup -f --show "$dir/image" 2>&1) || cannot "no loop device: $dev"
  case $driver in
  # "permissions": owners and modes are kept, as the tests set them.
  ntfs-3g) said=$(ntfs-3g -o permissions "$dev" "$mnt" 2>&1) ;;
  ntfs3) said=$(mount -t ntfs3 "$dev" "$mnt" 2>&1) ;;
  esac
  mounted=$?
  # The device goes away by itself once the volume is unmounted.
  losetup -d "$dev"
  [ $mounted = 0 ] && findmnt -rn -M "$mnt" >/dev/null || cannot "$driver cannot mount $dev: $said"
  chmod 755 "$mnt" && mkdir -m 755 "$mnt/work" || exit 1
  echo "$driver volume mounted on $mnt: $(findmnt -n -o FSTYPE,OPTIONS "$mnt")"
  ;;
run)
  dir=$2
  shift 2
  if [ -f "$dir/skipped" ]; then
    echo "skipped: $(cat "$dir/skipped")"
    exit $skip
  fi
  mnt=$(cat "$dir/mountpoint" 2>/dev/null)
  [ -n "$mnt" ] && findmnt -rn -M "$mnt" >/dev/null || { echo "no volume is mounted for $dir" >&2; exit 1; }
  TESSARIL_TEST_WORK=$mnt/work exec "$@"
  ;;
unmount)
  unmount "$2"
  ;;
*)
  echo "usage: $0 mount DRIVER DIR | run DIR COMMAND... | unmount DIR" >&2
  exit 1
  ;;
esac
