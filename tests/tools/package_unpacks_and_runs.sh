#!/usr/bin/env bash
# The Debian package of a build: made with cpack, unpacked with dpkg-deb -x
# into a temporary folder, and its dorvane run on a sample image; the
# plugin, the manual page and the README are where the package says, and the
# run-time dependencies are declared.
#   package_unpacks_and_runs.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: package_unpacks_and_runs.sh BUILD_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "package: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
debs=("$work"/out/dorvane_*_amd64.deb)
[ -f "${debs[0]}" ] || fail "no dorvane_VERSION_amd64.deb in $work/out"
deb=${debs[0]}
depends=$(dpkg-deb -f "$deb" Depends)
for needed in fuse3 libfuse3; do
  [[ $depends == *"$needed"* ]] || fail "Depends does not name $needed: $depends"
done

dpkg-deb -x "$deb" "$work/root"
dorvane=$work/root/usr/bin/dorvane
plugin=$(find "$work/root/usr/lib" -path '*/nbdkit/plugins/nbdkit-dorvane-plugin.so')
[ -n "$plugin" ] || fail "no nbdkit plugin in the package"
zcat "$work/root/usr/share/man/man1/dorvane.1.gz" | grep -q '^\.TH DORVANE 1' ||
  fail "no manual page dorvane(1)"
[ -s "$work/root/usr/share/doc/dorvane/README.md" ] || fail "no README"

version=$("$dorvane" --version)
[ "$version" = "dorvane $(dpkg-deb -f "$deb" Version)" ] || fail "--version says: $version"
sample=$work/sample.vhd
printf 'Dorvane sample: bytes written at offset 1 MiB.\n' >"$work/message.txt"
"$dorvane" create --type dynamic --size 64M "$sample"
"$dorvane" write "$sample" --offset 1048576 --input "$work/message.txt"
"$dorvane" cat "$sample" --offset 1048576 --length "$(wc -c <"$work/message.txt")" |
  cmp - "$work/message.txt" || fail "the sample did not read back"
"$dorvane" check "$sample" >/dev/null || fail "the sample does not check clean"
echo "package: $(basename "$deb") unpacks and runs"
