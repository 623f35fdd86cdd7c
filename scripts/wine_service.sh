#!/usr/bin/env bash
# The driver's kernel service under Wine's service manager, through the
# command's service module (tools/service) and the real dorvane.sys: install,
# start, stop and remove, each also where it must be refused, with the state
# and binary the service manager reports after every step, and the driver's
# device checked to come and go with it.
#
# A harness built here with mingw-w64 (tests/wine/service_client.cpp) runs
# one action a call and prints the Win32 error and the command's explanation.
# Wine runs every program as an administrator, so the refusals for want of
# elevation or of a signature cannot be shown here.
#
# Its own throw-away prefix, so as not to meet the services of
# scripts/wine_smoke.sh (which calls it at its end). One persistent Wine
# server serves the whole test (a demand-start service lives only as long as
# its server), every step is bounded by a timeout, and every Wine process of
# the prefix is ended on exit. Skips, saying so, only when wine64 is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/wine_common.sh
SYS=${1:-build-win/dorvane.sys}

if [ ! -x "$WINE64" ] || [ ! -x "$WINESERVER" ]; then
  echo "wine_service: SKIPPED: wine64 is not installed ($WINE64); scripts/setup.sh installs it"
  exit 0
fi
if [ ! -f "$SYS" ]; then
  echo "wine_service: $SYS is missing: run the kernel build first" >&2
  exit 1
fi

wine_work wine-service -all

fail() {
  echo "wine_service: FAILED: $*" >&2
  exit 1
}

echo "== building the harness"
x86_64-w64-mingw32-g++ -std=c++17 -O2 -Wall -Wextra -Werror -I. -static \
  -o "$work/service_client.exe" tests/wine/service_client.cpp \
  tools/service/driver_service_windows.cpp tools/service/service_messages.cpp \
  tools/service/image_path.cpp
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$work/open_device.exe" \
  tests/wine/open_device.c

echo "== making the Wine prefix"
wine_boot
drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
cp "$SYS" "$drivers/dorvane.sys"
cp "$SYS" "$WINEPREFIX/drive_c/elsewhere.sys"
cp "$work/service_client.exe" "$work/open_device.exe" "$WINEPREFIX/drive_c/"

wine_serve

# service ACTION [SYS] EXPECTED: the harness's line must start with EXPECTED.
# Its output goes to a file: the services a step starts inherit the step's
# output and keep it open, which would hold a pipe open for ever.
service() {
  local expected=${*: -1} out
  timeout "$STEP_TIMEOUT" "$WINE64" 'C:\service_client.exe' "${@:1:$#-1}" </dev/null \
    >"$work/step.out" 2>&1 || fail "${*:1:$#-1}: the harness did not finish: $(cat "$work/step.out")"
  out=$(tr -d '\r' <"$work/step.out")
  echo "$out"
  case $out in
    "$expected"*) ;;
    *) fail "${*:1:$#-1}: expected \"$expected...\"" ;;
  esac
}

# device EXIT: open_device.exe's exit status (0 or 2: the driver answers,
# 3: no such device).
device() {
  local status=0
  timeout "$STEP_TIMEOUT" "$WINE64" 'C:\open_device.exe' </dev/null >"$work/open.out" 2>&1 ||
    status=$?
  case $1:$status in
    loaded:0 | loaded:2 | gone:3) ;;
    *) fail "the device after the last step (exit status $status, wanted it $1): $(cat "$work/open.out")" ;;
  esac
}

echo "== the service's life"
# This first process starts services.exe, which keeps its output file open.
timeout "$STEP_TIMEOUT" "$WINE64" 'C:\service_client.exe' status </dev/null \
  >"$work/system.log" 2>&1 || fail "the first status: $(cat "$work/system.log")"
grep -q "^status: 0 not installed" "$work/system.log" || fail "the first status: $(cat "$work/system.log")"
service install 'C:\missing\dorvane.sys' "install: 3 no driver binary at C:\\missing\\dorvane.sys: ERROR_PATH_NOT_FOUND (3)"
service install 'C:\nothing.sys' "install: 2 no driver binary at C:\\nothing.sys: ERROR_FILE_NOT_FOUND (2)"
service status "status: 0 not installed | "
service install "install: 0"
service status "status: 0 stopped | C:\\windows\\System32\\drivers\\dorvane.sys"
service install 'C:\elsewhere.sys' "install: 1073 the service is already installed"
service start "start: 0"
service status "status: 0 running | "
device loaded
service start "start: 1056 the driver is already running: ERROR_SERVICE_ALREADY_RUNNING (1056)"
service remove "remove: 1056 the driver is running: dorvane driver stop unloads it first"
service stop "stop: 0"
service status "status: 0 stopped | "
device gone
service stop "stop: 1062 the driver is not running: ERROR_SERVICE_NOT_ACTIVE (1062)"
service remove "remove: 0"
service status "status: 0 not installed | "
service remove "remove: 1060 the service is not installed"
service start "start: 1060 the service is not installed"
service stop "stop: 1060 the service is not installed"

echo "== a binary given by a relative path, and a missing one at start"
# A relative name is made absolute: the service manager needs the whole path.
(cd "$WINEPREFIX/drive_c" && service install elsewhere.sys "install: 0")
service status 'status: 0 stopped | C:\elsewhere.sys'
rm "$WINEPREFIX/drive_c/elsewhere.sys"
service start "start: 2 the driver binary C:\\elsewhere.sys is missing: put it back, or remove the service and install it again: ERROR_FILE_NOT_FOUND (2)"
service remove "remove: 0"
[ -f "$drivers/dorvane.sys" ] || fail "remove took the default binary away"

echo "wine_service: PASSED (install, start, stop and remove of $SYS under Wine's service manager)"
