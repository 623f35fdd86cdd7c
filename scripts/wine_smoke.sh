#!/usr/bin/env bash
# The real dorvane.sys under Wine: loading, dispatch, the data path on
# dynamic, fixed and differencing images, and unload.
#
# In a throw-away Wine prefix the driver is registered as a kernel service and
# started (DriverEntry runs: the device \Device\Dorvane and its link
# \DosDevices\Dorvane are made). A small client built with mingw-w64
# (tests/wine/open_device.c) then opens \\.\Dorvane; the create reaches the
# driver, which refuses it for want of a file name and prints
# "Dorvane: Missing file name.". Wine 8 returns the handle of a device open
# without waiting for the driver's create result, so there the client sees
# the open succeed; the refusal is then checked in the driver's debug output
# alone. Windows, and a Wine that waits, report ERROR_INVALID_PARAMETER.
#
# Data path. Wine's object manager stops at \Device\Dorvane: the driver only
# ever sees nameless creates, and Wine never sends it query-information,
# set-information or file-system-control requests. Our filter dorvfilt.sys
# (filter/, built by the kernel build) is loaded over the driver's device (the
# two services share a load-order group, so one winedevice.exe hosts both):
# it names the creates and builds those requests on the client's file object
# (filter/filter_control.h). The client tests/wine/image_client.c runs the
# table below against a model of each disk; afterwards every image is
# compared with the host build's `dorvane cat` and passes `dorvane check`.
# Wine 8's own gaps the filter mends for the test, by pointing the driver's
# imports at its own routines (filter/wine_gaps.cpp):
#   - ObReferenceObjectByHandle leaves the handle information unfilled and
#     file objects' access flags zero;
#   - IoGetRelatedDeviceObject returns NULL (the driver's every flush);
#   - x64 KeAcquireInStackQueuedSpinLock never stores the saved IRQL;
#   - ExGetPreviousMode and FsRtlDissectName are not implemented.
# The driver needs no help with its own faults: the file object type is
# passed as the type, and where Wine refuses FSCTL_SET_ZERO_DATA on the image
# file (as FAT and exFAT do) the driver writes the zeros itself.
#
# DbgPrint output: Wine prints it on the "debugstr" debug channel (warn
# level, WINEDEBUG=+debugstr) to the standard error of the drivers' host
# process, winedevice.exe. That process inherits it from services.exe, which
# inherits it from the Wine process that started it: the first one after the
# prefix is made, whose standard error goes to the log searched below. (Wine
# turns every channel off for a process whose standard error is /dev/null.)
#
# Installs nothing: scripts/setup.sh installs wine64. Skips, saying so, only
# when wine64 is missing. Every step is bounded by a timeout; one persistent
# Wine server serves the whole test (a demand-start service lives only as
# long as its server), and every Wine process of the prefix is ended on exit.
set -euo pipefail
cd "$(dirname "$0")/.."

WINE64=${WINE64:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver64}
SYS=${1:-build-win/dorvane.sys}
FILTER=${FILTER:-$(dirname "$SYS")/dorvfilt.sys}
DORVANE=${DORVANE:-}
if [ -z "$DORVANE" ]; then
  for candidate in build-asan/dorvane build/dorvane; do
    if [ -x "$candidate" ]; then DORVANE=$candidate; break; fi
  done
fi
STEP_TIMEOUT=${STEP_TIMEOUT:-120}

if [ ! -x "$WINE64" ] || [ ! -x "$WINESERVER" ]; then
  echo "wine_smoke: SKIPPED: wine64 is not installed ($WINE64); scripts/setup.sh installs it"
  exit 0
fi
if [ ! -f "$SYS" ] || [ ! -f "$FILTER" ]; then
  echo "wine_smoke: $SYS or $FILTER is missing: run the kernel build first" >&2
  exit 1
fi
if [ -z "$DORVANE" ]; then
  echo "wine_smoke: the host build's dorvane is missing: run scripts/test.sh first" >&2
  exit 1
fi

source scripts/wine_common.sh
wine_work wine -all,+debugstr
log="$work/system.log"

fail() {
  echo "wine_smoke: FAILED: $*" >&2
  echo "--- Wine system log" >&2
  cat "$log" >&2 2>/dev/null || true
  exit 1
}

wine_run() {  # output file, program and arguments...
  local out=$1
  shift
  timeout "$STEP_TIMEOUT" "$WINE64" "$@" </dev/null >"$out" 2>&1
}

echo "== building the clients"
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$work/open_device.exe" \
  tests/wine/open_device.c
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -I. -o "$work/image_client.exe" \
  tests/wine/image_client.c -lntdll

echo "== making the Wine prefix"
wine_boot
cp "$SYS" "$WINEPREFIX/drive_c/windows/system32/drivers/dorvane.sys"
cp "$FILTER" "$WINEPREFIX/drive_c/windows/system32/drivers/dorvfilt.sys"
cp "$work/open_device.exe" "$work/image_client.exe" "$WINEPREFIX/drive_c/"

echo "== making the images with the host build"
drive_c="$WINEPREFIX/drive_c"
mkdir -p "$drive_c/img" "$drive_c/out"
host() { timeout "$STEP_TIMEOUT" "$DORVANE" --drive "C:=$drive_c" "$@"; }
head -c 3000000 /dev/urandom >"$work/seed"
host create --type dynamic --size 7M --block-size 2M "$drive_c/img/dyn.vhd"
host write "$drive_c/img/dyn.vhd" --offset 1536 --input "$work/seed"
host cat "$drive_c/img/dyn.vhd" >"$drive_c/out/dyn_host.raw"
host create --type fixed --size 4M "$drive_c/img/fix.vhd"
host create --type dynamic --size 8M --block-size 2M "$drive_c/img/base.vhd"
host write "$drive_c/img/base.vhd" --offset 700 --input "$work/seed"
host create --parent "$drive_c/img/base.vhd" "$drive_c/img/child.vhd"
host cat "$drive_c/img/child.vhd" >"$drive_c/out/child_host.raw"

wine_serve

echo "== registering and starting the service"
# This first process starts services.exe: the driver's output lands in $log.
timeout "$STEP_TIMEOUT" "$WINE64" sc create dorvane \
  binPath= 'C:\windows\system32\drivers\dorvane.sys' type= kernel group= DorvaneTest \
  </dev/null >"$log" 2>&1 || fail "sc create"
wine_run "$work/create.out" sc create dorvfilt \
  binPath= 'C:\windows\system32\drivers\dorvfilt.sys' type= kernel group= DorvaneTest ||
  fail "sc create dorvfilt: $(cat "$work/create.out")"
wine_run "$work/start.out" sc start dorvane || fail "sc start: $(cat "$work/start.out")"
grep -q "RUNNING" "$work/start.out" || fail "the service did not reach RUNNING: $(cat "$work/start.out")"

echo "== opening \\\\.\\Dorvane"
status=0
wine_run "$work/open.out" 'C:\open_device.exe' || status=$?
cat "$work/open.out"
case $status in
  0) echo "the create was refused with ERROR_INVALID_PARAMETER" ;;
  2) echo "note: this Wine returned the handle before the driver's create result" ;;
  *) fail "open of \\\\.\\Dorvane (exit status $status)" ;;
esac
for _ in $(seq 20); do
  grep -q "Dorvane: Missing file name." "$log" && break
  sleep 0.5
done
grep -q "Dorvane: Missing file name." "$log" ||
  fail "the create did not reach the driver (no \"Dorvane: Missing file name.\")"
grep "Dorvane:" "$log"

echo "== starting the filter"
wine_run "$work/start.out" sc start dorvfilt || fail "sc start dorvfilt: $(cat "$work/start.out")"
grep -q "RUNNING" "$work/start.out" || fail "the filter did not reach RUNNING: $(cat "$work/start.out")"

echo "== the operation table through the filter"
# Sizes and offsets in bytes; "!STATUS" is the driver's expected refusal.
cat >"$work/table" <<'TABLE'
open \??\C:\img\dyn.vhd rw
compare C:\out\dyn_host.raw
size 7340032
name
write 0 65536 1
write 2096640 1024 2
write 1000 333 3
read 0 131072
read 2095104 4096
position 12345
zero 4096 8192
trim 1048576 65536
dsmtrim 2097152 1048576
read 0 4194304
flush
grow 10485760
size 10485760
write 10000000 4096 4
read 6291456 4194304
dump C:\out\dyn.raw
close
open \??\C:\img\dyn.vhd ro
write 0 512 5 !C0000022
dsmtrim 0 4096 !C0000022
read 0 65536
compare C:\out\dyn.raw
close
open \??\C:\img\fix.vhd rw
size 4194304
write 4190208 4096 6
write 511 1026 7
zero 0 4096
trim 65536 4096
dsmtrim 131072 4096
grow 6291456
size 6291456
write 6000000 70000 8
read 0 6291456
flush
dump C:\out\fix.raw
close
open \??\C:\img\child.vhd rw
compare C:\out\child_host.raw
size 8388608
name
write 3000 5000 9
write 2097000 2000 10
read 0 4194304
zero 0 512 !C0000010
flush
dump C:\out\child.raw
merge 1
close
open \??\C:\img\base.vhd ro
compare C:\out\child.raw
close
TABLE
status=0
timeout 120 "$WINE64" 'C:\image_client.exe' <"$work/table" >"$work/client.out" 2>&1 || status=$?
cat "$work/client.out"
[ "$status" -eq 0 ] || fail "the operation table (exit status $status)"
grep "Dorvfilt:" "$log"

# shellcheck source=scripts/wine_command.sh
. scripts/wine_command.sh

echo "== stopping the services"
stop_service() {
  wine_run "$work/stop.out" sc stop "$1" || fail "sc stop $1: $(cat "$work/stop.out")"
  local stopped=""
  for _ in $(seq 20); do
    wine_run "$work/query.out" sc query "$1" || true
    if grep -q "STOPPED" "$work/query.out"; then stopped=yes; break; fi
    sleep 0.5
  done
  [ -n "$stopped" ] || fail "$1 did not stop: $(cat "$work/query.out")"
}
stop_service dorvfilt
stop_service dorvane
status=0
wine_run "$work/open.out" 'C:\open_device.exe' || status=$?
cat "$work/open.out"
[ "$status" -eq 3 ] || fail "\\\\.\\Dorvane still opens after the unload (exit status $status)"

echo "== the service through dorvane.exe driver"
command_driver_verbs

echo "== the images against the host build"
[ ! -e "$drive_c/img/child.vhd" ] || fail "the merged differencing image was not deleted"
for pair in img/dyn.vhd:dyn.raw img/fix.vhd:fix.raw img/base.vhd:child.raw \
    cmd/fix.vhd:cmd_fix.raw cmd/dyn.vhd:cmd_dyn.raw cmd/base.vhd:cmd_base.raw \
    cmd/cvt.vhd:cmd_cvt.raw cmd/rep.vhd:cmd_rep.raw; do
  image=$drive_c/${pair%%:*}
  host check "$image" >"$work/check.out" || fail "dorvane check ${pair%%:*}: $(cat "$work/check.out")"
  host cat "$image" >"$work/host.raw"
  cmp "$work/host.raw" "$drive_c/out/${pair##*:}" ||
    fail "${pair%%:*}: the host build reads other bytes than the driver under Wine"
  echo "${pair%%:*}: checked, and the same bytes in both builds"
done

echo "wine_smoke: PASSED (loading, the data path and unload of $SYS)"

# The service's install, start, stop and remove through the command's own
# service code, in a prefix of its own.
bash scripts/wine_service.sh "$SYS"
