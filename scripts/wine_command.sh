# shellcheck shell=bash disable=SC2154,SC2015
# The command on Windows, sourced by scripts/wine_smoke.sh while the driver
# and the filter run: dorvane-wine.exe (the command linked with the test
# filter's route for the requests Wine does not carry to the driver:
# create, query and set information, file-system control) runs the
# command's table on each image type, and the Linux build runs the same
# table on a twin of each image. Every step must end with the same exit
# code on both; cat must give the same bytes. wine_smoke.sh afterwards
# checks every image with the Linux build's check and cat.
#
# What this cannot show of dorvane.exe: its own route for those four
# requests (NtCreateFile naming the image below \Device\Dorvane,
# NtQueryInformationFile, NtSetInformationFile, NtFsControlFile reaching
# the driver through the I/O manager) and the sharing NTFS applies between
# the driver's open and the command's own opens of image files.
#
# Uses from wine_smoke.sh: WINE64, STEP_TIMEOUT, work, drive_c, host, fail.

command_exe=${COMMAND_EXE:-$(dirname "$SYS")/dorvane-wine.exe}
[ -f "$command_exe" ] || fail "$command_exe is missing: run the kernel build first"
cp "$command_exe" "$drive_c/dorvane.exe"
mkdir -p "$drive_c/cmd" "$work/twin"
head -c 1500000 /dev/urandom >"$drive_c/cmd/seed"

windows_run() {  # standard output file, arguments...
  local out=$1
  shift
  local status=0
  (cd "$drive_c/cmd" && timeout "$STEP_TIMEOUT" "$WINE64" 'C:\dorvane.exe' "$@") \
    </dev/null >"$out" 2>"$work/windows.err" || status=$?
  return $status
}

# One step on both sides: the Windows path, the Linux twin, the arguments
# with IMAGE and SEED standing for each side's names.
step() {  # image name, arguments...
  local name=$1
  shift
  local windows_args=() linux_args=()
  for arg in "$@"; do
    windows_args+=("${arg//IMAGE/C:\\cmd\\$name}")
    linux_args+=("${arg//IMAGE/$work/twin/$name}")
  done
  windows_args=("${windows_args[@]//SEED/C:\\cmd\\seed}")
  linux_args=("${linux_args[@]//SEED/$drive_c/cmd/seed}")
  windows_args=("${windows_args[@]//PARENT/C:\\cmd\\base.vhd}")
  linux_args=("${linux_args[@]//PARENT/$work/twin/base.vhd}")
  local windows_status=0 linux_status=0
  windows_run "$work/windows.out" "${windows_args[@]}" || windows_status=$?
  host "${linux_args[@]}" >"$work/linux.out" 2>"$work/linux.err" || linux_status=$?
  if [ "$windows_status" -ne "$linux_status" ]; then
    fail "dorvane ${windows_args[*]}: exit $windows_status on Windows, $linux_status on Linux
  Windows: $(cat "$work/windows.err" "$work/windows.out" | head -c 2000)
  Linux: $(cat "$work/linux.err" "$work/linux.out" | head -c 2000)"
  fi
  if [ "${windows_args[0]}" = cat ]; then
    cmp "$work/windows.out" "$work/linux.out" ||
      fail "dorvane cat $name: other bytes on Windows than on Linux"
    cp "$work/linux.out" "$drive_c/out/cmd_${name%.vhd}.raw"
  fi
  echo "  $name: dorvane $* -> exit $windows_status on both"
}

echo "== the command's table with dorvane-wine.exe"
for name in fix.vhd dyn.vhd base.vhd; do
  type=dynamic
  [ "$name" = fix.vhd ] && type=fixed
  step "$name" create --type "$type" --size 5M IMAGE
  step "$name" write IMAGE --offset 1000 --input SEED
  step "$name" info IMAGE
  step "$name" resize IMAGE --size 7M
  step "$name" zero IMAGE --offset 4096 --length 8192
  step "$name" trim IMAGE 1048576:65536 3145728:512
  step "$name" flush IMAGE
  step "$name" cat IMAGE
  step "$name" check IMAGE
done
step child.vhd create --parent PARENT IMAGE
step child.vhd write IMAGE --offset 2000000 --input SEED
step child.vhd zero IMAGE --offset 0 --length 512
step child.vhd resize IMAGE --size 9M
step child.vhd info IMAGE
step child.vhd cat IMAGE
step child.vhd check IMAGE
step child.vhd merge IMAGE
step base.vhd cat IMAGE
[ ! -e "$drive_c/cmd/child.vhd" ] || fail "dorvane.exe merge did not delete the child"
step cvt.vhd convert SEED IMAGE --type dynamic
step cvt.vhd cat IMAGE
step cvt.vhd check IMAGE
# A repair, its undo and the repair again, the footer copy at the start of
# both twins damaged alike: the Win32 file layer's exclusive open, the undo
# file kept beside the image and put back.
step rep.vhd create --type dynamic --size 5M IMAGE
step rep.vhd write IMAGE --offset 1000 --input SEED
for file in "$drive_c/cmd/rep.vhd" "$work/twin/rep.vhd"; do
  printf 'X' | dd of="$file" bs=1 conv=notrunc status=none
done
step rep.vhd check IMAGE
step rep.vhd check --repair IMAGE
[ -f "$drive_c/cmd/rep.vhd.repair-undo" ] && [ ! -e "$drive_c/cmd/rep.vhd.repair-undo.partial" ] ||
  fail "dorvane.exe check --repair did not leave its undo file alone under its name"
step rep.vhd cat IMAGE
step rep.vhd check --undo IMAGE
[ ! -e "$drive_c/cmd/rep.vhd.repair-undo" ] || fail "dorvane.exe check --undo left its undo file"
step rep.vhd check IMAGE
step rep.vhd check --repair IMAGE

# A parent whose name is more than ASCII: the child's header and locators
# must name it as it is, so that both the driver and the Linux build find it.
cp "$drive_c/cmd/base.vhd" "$drive_c/cmd/bäse.vhd"
LC_ALL=C.UTF-8 windows_run "$work/windows.out" create --parent 'C:\cmd\bäse.vhd' 'kïnd.vhd' ||
  fail "a child of bäse.vhd: $(cat "$work/windows.err")"
LC_ALL=C.UTF-8 windows_run "$work/windows.out" cat 'kïnd.vhd' ||
  fail "cat of the child of bäse.vhd: $(cat "$work/windows.err")"
host cat "$drive_c/cmd/kïnd.vhd" >"$work/linux.out" ||
  fail "the Linux build cannot read the child of bäse.vhd"
cmp "$work/windows.out" "$work/linux.out" && cmp "$work/linux.out" "$drive_c/out/cmd_base.raw" ||
  fail "the child of bäse.vhd does not read as its parent"
host info "$drive_c/cmd/kïnd.vhd" | grep -q 'bäse.vhd' ||
  fail "the child's header does not name bäse.vhd: $(host info "$drive_c/cmd/kïnd.vhd")"
rm "$drive_c/cmd/kïnd.vhd" "$drive_c/cmd/bäse.vhd"
echo "  a parent named bäse.vhd found by the driver and by the Linux build"

echo "== paths as Windows gives them"
windows_run "$work/windows.out" info dyn.vhd || fail "a relative path: $(cat "$work/windows.err")"
windows_run "$work/windows.out" info 'C:/cmd/../cmd/./fix.vhd' ||
  fail "forward slashes and dots: $(cat "$work/windows.err")"
status=0
windows_run "$work/windows.out" info 'C:dyn.vhd' || status=$?
[ "$status" -ne 0 ] && grep -q "drive-relative" "$work/windows.err" ||
  fail "a drive-relative path was not refused: $(cat "$work/windows.err")"
status=0
windows_run "$work/windows.out" cat '\\.\PhysicalDrive0' || status=$?
[ "$status" -ne 0 ] && grep -q 'PhysicalDrive0' "$work/windows.err" ||
  fail "a device path was not refused by name: $(cat "$work/windows.err")"
status=0
windows_run "$work/windows.out" mount fix.vhd 'C:\mnt' || status=$?
[ "$status" -eq 2 ] && grep -q "only on Linux" "$work/windows.err" ||
  fail "mount on Windows: exit $status, $(cat "$work/windows.err")"
echo "  relative, slashes and dots taken; drive-relative and device paths refused; mount refused"

# The product's own dorvane.exe once wine_smoke.sh has stopped the service
# it made with sc: a disk it opens then fails for want of the driver
# (STATUS_NO_SUCH_DEVICE, not the image "not found"), and the service is
# removed, installed, started, stopped and removed again through it, its
# state read after every step.
command_driver_verbs() {
  cp "$(dirname "$SYS")/dorvane.exe" "$drive_c/dorvane-product.exe"
  local status=0
  timeout "$STEP_TIMEOUT" "$WINE64" 'C:\dorvane-product.exe' cat 'C:\cmd\fix.vhd' \
    </dev/null >/dev/null 2>"$work/driver.out" || status=$?
  [ "$status" -eq 1 ] && grep -q 'C:\\cmd\\fix.vhd: cannot open image: .*STATUS_NO_SUCH_DEVICE' "$work/driver.out" ||
    fail "dorvane.exe cat with the driver stopped: exit $status, $(cat "$work/driver.out")"
  echo "  dorvane.exe cat with the driver stopped: STATUS_NO_SUCH_DEVICE"
  local verb expected
  for pair in "status|stopped" "remove|not installed" \
      "install C:\\windows\\system32\\drivers\\dorvane.sys|stopped" "start|running" \
      "stop|stopped" "remove|not installed"; do
    verb=${pair%%|*}
    expected=${pair##*|}
    # shellcheck disable=SC2086
    timeout "$STEP_TIMEOUT" "$WINE64" 'C:\dorvane-product.exe' driver $verb \
      </dev/null >"$work/driver.out" 2>&1 || fail "dorvane.exe driver $verb: $(cat "$work/driver.out")"
    timeout "$STEP_TIMEOUT" "$WINE64" 'C:\dorvane-product.exe' driver status \
      </dev/null >"$work/driver.out" 2>&1 || fail "dorvane.exe driver status: $(cat "$work/driver.out")"
    grep -q "service dorvane: $expected" "$work/driver.out" ||
      fail "after dorvane.exe driver $verb the service is not $expected: $(cat "$work/driver.out")"
    echo "  dorvane.exe driver $verb: $expected"
  done
}
