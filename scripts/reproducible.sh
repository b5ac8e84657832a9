#!/usr/bin/env bash
# Shows that one commit always gives the same packages: clones the commit twice, into two
# different folders, builds and packs each clone one after the other (the second with
# another umask and time zone) and compares what came out byte for byte: the Debian
# package, the Windows executables, the ZIP and the MSI. Prints a table and exits with
# status 0 only when every artefact is identical.
#
#   scripts/reproducible.sh [COMMIT]     default HEAD; uncommitted changes are not part of it
#
# Needs what `scripts/test.sh linux windows` installs. Runs outside the test command (two
# full builds take several minutes); ccache is not used, so each build compiles on its own.
# The work folder is removed when all is identical and kept for a look otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

commit=$(git rev-parse --verify "${1:-HEAD}^{commit}")
work=$(mktemp -d /tmp/vbx-reproducible-XXXXXX)
clones=("$work/first/VBxMorvel" "$work/second/elsewhere/deeper/VBxMorvel-clone")
export CCACHE_DISABLE=1
unset SOURCE_DATE_EPOCH CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER

# Builds and packs one clone; lists "<name> <path>" of each artefact in $1/artefacts.
build() {
  local clone=$1 mode path
  git clone --quiet --no-checkout "$PWD" "$clone"
  git -C "$clone" checkout --quiet "$commit"
  : >"$clone/artefacts"
  for mode in linux windows msi; do
    echo "=== $clone: scripts/package.sh $mode"
    path=$("$clone/scripts/package.sh" "$mode" 2>"$clone/package-$mode.log" | tail -n 1) || {
      tail -n 30 "$clone/package-$mode.log"; return 1; }
    echo "$(basename "$path") $path" >>"$clone/artefacts"
    if [ "$mode" = windows ]; then
      for exe in VBxMorvel.exe VBxPakketServer.exe; do echo "$exe $clone/build/windows/$exe" >>"$clone/artefacts"; done
    fi
  done
}

started=$(date +%s)
build "${clones[0]}"
(umask 0002 && TZ=Pacific/Kiritimati build "${clones[1]}")

status=0
printf '\n%-34s %-16s %-16s %s\n' artefact "first (sha256)" "second (sha256)" result
while read -r name first; do
  second=$(awk -v n="$name" '$1 == n { $1 = ""; sub(/^ /, ""); print }' "${clones[1]}/artefacts")
  a=$(sha256sum "$first" | cut -c1-16)
  b=$( [ -n "$second" ] && [ -f "$second" ] && sha256sum "$second" | cut -c1-16 || echo missing)
  if [ "$a" = "$b" ]; then result=identical; else result=DIFFERENT; status=1; fi
  printf '%-34s %-16s %-16s %s\n' "$name" "$a" "$b" "$result"
done <"${clones[0]}/artefacts"
echo "commit $commit, $(($(date +%s) - started)) s"

if [ $status -eq 0 ]; then
  rm -rf "$work"
else
  echo "the builds are kept in $work (diffoscope compares two artefacts in depth)" >&2
fi
exit $status
