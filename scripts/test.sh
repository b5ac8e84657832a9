#!/usr/bin/env bash
# Installs what is missing (Debian packages only), builds every configuration and runs
# all tests: the Linux build plain, with AddressSanitizer+UndefinedBehaviorSanitizer and
# with ThreadSanitizer, the Windows build under Wine, and the fuzz targets (clang with
# libFuzzer: each seed corpus replayed, then a repeatable fixed-seed run per target, see
# scripts/fuzz.sh). First of all it checks that no #include points up or sideways between
# the layers and that the sources keep the one format of .clang-format.
#
#   scripts/test.sh            everything
#   scripts/test.sh linux      only the given presets (linux, linux-asan, linux-tsan,
#                              linux-fuzz, windows)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux linux-asan linux-tsan linux-fuzz windows)

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev googletest libbenchmark-dev python3 coreutils util-linux
          git clang-format)
for p in "${presets[@]}"; do
  if [ "$p" = linux ]; then packages+=(dpkg-dev); fi   # dpkg-shlibdeps for the package test
  # Debian's judges of the package: lintian, hardening-check (devscripts), piuparts.
  if [ "$p" = linux ]; then packages+=(lintian devscripts piuparts); fi
  # The compiler cache of the 1.0.0 package that the upgrade test builds.
  if [ "$p" = linux ]; then packages+=(ccache); fi
  # wixl and msitools build the MSI package that the Windows tests install under Wine.
  if [ "$p" = windows ]; then packages+=(g++-mingw-w64-x86-64 wine64 wine wixl msitools); fi
  # The real-systemd test boots a Debian 12 root in a container (linux preset only).
  if [ "$p" = linux ]; then packages+=(systemd-container debootstrap); fi
  # The monitoring test checks the metrics file with promtool and scrapes it through the
  # node exporter's textfile collector (linux preset only).
  if [ "$p" = linux ]; then packages+=(prometheus prometheus-node-exporter); fi
  if [ "$p" = linux-fuzz ]; then packages+=(clang-14 libclang-rt-14-dev); fi
done
missing=()
for p in "${packages[@]}"; do
  state=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$state" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The layers point one way (layers.txt): checked before anything is built.
echo "=== include layers"
python3 scripts/check_includes.py

# Every relative link between the documents resolves, #anchors included.
echo "=== document links"
python3 scripts/check_links.py

# One format (.clang-format), checked without changing a file.
echo "=== format"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

jobs=$(nproc)
status=0
for p in "${presets[@]}"; do
  echo "=== $p: configure and build"
  cmake --preset "$p" -DVBX_WERROR=ON >/dev/null
  cmake --build --preset "$p" -j "$jobs"
  echo "=== $p: tests"
  if ! ctest --preset "$p" -j "$jobs"; then
    status=1
  fi
  if [ "$p" = linux-fuzz ] && ! scripts/fuzz.sh fixed; then
    status=1
  fi
done
exit $status
