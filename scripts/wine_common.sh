# What the Wine tests share, sourced by them: Wine's programs, a throw-away
# prefix in a work folder of its own, the persistent Wine server, and the
# cleanup on exit that ends every Wine process of the prefix. The caller
# defines fail MESSAGE.
WINE64=${WINE64:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver64}
STEP_TIMEOUT=${STEP_TIMEOUT:-120}
server_pid=""

# wine_work NAME WINEDEBUG: $work, the prefix's place in it, removed on exit.
wine_work() {
  work=$(mktemp -d "/tmp/dorvane-$1.XXXXXX")
  export WINEPREFIX="$work/prefix" WINELOADER="$WINE64" WINEARCH=win64
  export WINEDEBUG=$2 WINEDLLOVERRIDES="mscoree,mshtml="
  trap wine_cleanup EXIT
}

wine_cleanup() {
  timeout 30 "$WINESERVER" -k >/dev/null 2>&1 || true
  if [ -n "$server_pid" ]; then
    wait "$server_pid" 2>/dev/null || true
  fi
  timeout 30 "$WINESERVER" -w >/dev/null 2>&1 || true
  rm -rf "$work"
}

# Makes the prefix and waits for its first server to end.
wine_boot() {
  timeout 300 "$WINE64" wineboot -i </dev/null >"$work/boot.log" 2>&1 ||
    { cat "$work/boot.log" >&2; fail "wineboot"; }
  timeout 60 "$WINESERVER" -w || fail "the prefix's first Wine server did not end"
}

# Starts the server that stays up until the cleanup ends it, and with it the
# services (a demand-start service lives only as long as its server).
wine_serve() {
  "$WINESERVER" -p -f </dev/null >/dev/null 2>&1 &
  server_pid=$!
}
