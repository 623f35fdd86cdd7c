#!/usr/bin/env bash
# Smoke test of the real dorvane.sys under Wine: loading, dispatch and unload.
#
# In a throw-away Wine prefix the driver is registered as a kernel service and
# started (DriverEntry runs: the device \Device\Dorvane and its link
# \DosDevices\Dorvane are made). A small client built with mingw-w64
# (tests/wine/open_device.c) then opens \\.\Dorvane; the create reaches the
# driver, which refuses it for want of a file name and prints
# "Dorvane: Missing file name.". After the service is stopped (DriverUnload
# runs) the same open must find no such device: the link is gone.
#
# Wine does not pass names below a driver's device to the driver, so no image
# can be opened here: this tests loading, dispatch and unload only. Wine 8
# also returns the handle of a device open without waiting for the driver's
# create result, so there the client sees the open succeed; the refusal is
# then checked in the driver's debug output alone. Windows, and a Wine that
# waits, report ERROR_INVALID_PARAMETER to the client, which is checked when
# it happens.
#
# DbgPrint output: Wine prints it on the "debugstr" debug channel (warn
# level, WINEDEBUG=+debugstr) to the standard error of the driver's host
# process, winedevice.exe. That process inherits it from services.exe, which
# inherits it from the Wine process that started it: the first one after the
# prefix is made, whose standard error goes to the log searched below.
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
STEP_TIMEOUT=${STEP_TIMEOUT:-120}

if [ ! -x "$WINE64" ] || [ ! -x "$WINESERVER" ]; then
  echo "wine_smoke: SKIPPED: wine64 is not installed ($WINE64); scripts/setup.sh installs it"
  exit 0
fi
if [ ! -f "$SYS" ]; then
  echo "wine_smoke: $SYS is missing: run the kernel build first" >&2
  exit 1
fi

work=$(mktemp -d /tmp/dorvane-wine.XXXXXX)
export WINEPREFIX="$work/prefix" WINELOADER="$WINE64" WINEARCH=win64
export WINEDEBUG=-all,+debugstr WINEDLLOVERRIDES="mscoree,mshtml="
log="$work/system.log"
server_pid=""

cleanup() {
  timeout 30 "$WINESERVER" -k >/dev/null 2>&1 || true
  if [ -n "$server_pid" ]; then
    wait "$server_pid" 2>/dev/null || true
  fi
  timeout 30 "$WINESERVER" -w >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

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

echo "== building the client"
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$work/open_device.exe" \
  tests/wine/open_device.c

echo "== making the Wine prefix"
timeout 300 "$WINE64" wineboot -i </dev/null >"$work/boot.log" 2>&1 ||
  { cat "$work/boot.log" >&2; fail "wineboot"; }
timeout 60 "$WINESERVER" -w || fail "the prefix's first Wine server did not end"
cp "$SYS" "$WINEPREFIX/drive_c/windows/system32/drivers/dorvane.sys"
cp "$work/open_device.exe" "$WINEPREFIX/drive_c/open_device.exe"

# The server stays up until cleanup ends it, and with it the service.
"$WINESERVER" -p -f </dev/null >/dev/null 2>&1 &
server_pid=$!

echo "== registering and starting the service"
# This first process starts services.exe: the driver's output lands in $log.
timeout "$STEP_TIMEOUT" "$WINE64" sc create dorvane \
  binPath= 'C:\windows\system32\drivers\dorvane.sys' type= kernel </dev/null >"$log" 2>&1 ||
  fail "sc create"
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

echo "== stopping the service"
wine_run "$work/stop.out" sc stop dorvane || fail "sc stop: $(cat "$work/stop.out")"
stopped=""
for _ in $(seq 20); do
  wine_run "$work/query.out" sc query dorvane || true
  if grep -q "STOPPED" "$work/query.out"; then stopped=yes; break; fi
  sleep 0.5
done
[ -n "$stopped" ] || fail "the service did not stop: $(cat "$work/query.out")"
status=0
wine_run "$work/open.out" 'C:\open_device.exe' || status=$?
cat "$work/open.out"
[ "$status" -eq 3 ] || fail "\\\\.\\Dorvane still opens after the unload (exit status $status)"

echo "wine_smoke: PASSED (loading, dispatch and unload of $SYS)"
