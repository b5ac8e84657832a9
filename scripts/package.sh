#!/usr/bin/env bash
# Builds the installable package of one build and prints its path on the last line.
#
#   scripts/package.sh [linux]   build/linux/vbxmorvel_<version>_amd64.deb
#   scripts/package.sh windows   build/windows/vbxmorvel_<version>_win64.zip
#   scripts/package.sh msi       build/windows/vbxmorvel_<version>_x64.msi (scripts/msi.py:
#                                wixl and msitools; the same commit gives the same bytes)
#
# The preset is configured when it has not been yet, and the programs it packs are built
# (nothing else); cpack does the rest (cmake/packaging.cmake). The Debian package needs
# dpkg-dev (dpkg-shlibdeps computes its dependencies). Every time stamp in the package is
# the commit's (SOURCE_DATE_EPOCH, unless it is set already), so one commit always gives
# the same bytes (scripts/reproducible.sh checks it).
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${1:-linux}
package=$preset
case "$preset" in
linux|windows) ;;
msi) preset=windows ;;
*) echo "usage: $0 [linux|windows|msi]" >&2; exit 2 ;;
esac
build=build/$preset

if [ ! -f "$build/CPackConfig.cmake" ]; then
  cmake --preset "$preset" >&2
fi
targets=(VBxMorvel)
# The list is read whole before it is searched: grep -q would leave the pipe at the first
# match, ninja would die of SIGPIPE and pipefail would call the match a failure.
all_targets=$(ninja -C "$build" -t targets all 2>/dev/null)
if grep '^VBxPakketServer:' <<<"$all_targets" >/dev/null; then
  targets+=(VBxPakketServer)
fi
# The unit the Debian package ships, written by tools/VBxUnitFile.
if grep '^vbx_packaged_unit:' <<<"$all_targets" >/dev/null; then
  targets+=(vbx_packaged_unit)
fi
cmake --build --preset "$preset" --target "${targets[@]}" >&2

if [ "$package" = msi ]; then
  exec python3 scripts/msi.py --build "$build"
fi

if [ "$preset" = linux ]; then
  command -v dpkg-shlibdeps >/dev/null || { echo "dpkg-shlibdeps is missing (package dpkg-dev)" >&2; exit 1; }
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && commit_time=$(git log -1 --format=%ct 2>/dev/null); then
  export SOURCE_DATE_EPOCH=$commit_time
fi
# cpack names the file (CPACK_PACKAGE_FILE_NAME, CPACK_DEBIAN_FILE_NAME); its report says which.
out=$(cd "$build" && cpack --config CPackConfig.cmake)
printf '%s\n' "$out" >&2
path=$(printf '%s\n' "$out" | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' | tail -n 1)
[ -n "$path" ] && [ -f "$path" ] || { echo "cpack made no package" >&2; exit 1; }
printf '%s\n' "$path"
