#!/usr/bin/env bash
# Runs one Windows program under Wine in a Wine prefix of its own, made for this run in /tmp
# and removed afterwards; the program's exit status is the script's.
#
#   run-under-wine.sh <program.exe> [arguments...]
#   run-under-wine.sh --make-template <folder> [<vbx_sc_controller.exe>]   boot a prefix once
#   run-under-wine.sh --remove-template <folder>
#
# Booting a prefix takes 10 to 15 seconds; a copy of the template VBX_WINE_TEMPLATE names
# takes about two, and is as fresh (the template never runs a program). A program started
# while Wine still makes the session's desktop cannot create its hidden windows
# (docs/development.md): each run first waits for it with the controller the template
# carries as C:\vbx_desktop_wait.exe. No display: Wine then has no window driver, as a
# service has none. Crashes end the process instead of starting the debugger.
set -uo pipefail

unset DISPLAY WAYLAND_DISPLAY
# Tells the tests that message boxes cannot be shown here and return at once.
export VBX_HEADLESS_WINE=1
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: their install dialogs would only slow the boot down.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

wine_cmd=wine
if [ -x /usr/lib/wine/wine64 ]; then wine_cmd=/usr/lib/wine/wine64; fi

boot_prefix() {   # <folder>
  WINEPREFIX="$1" "$wine_cmd" wineboot -i >/dev/null 2>&1
  # No debugger for crashing programs: the process just ends with its exception code.
  WINEPREFIX="$1" "$wine_cmd" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /f >/dev/null 2>&1
  WINEPREFIX="$1" wineserver -w
}

case "${1:-}" in
  --make-template)
    rm -rf "$2"
    mkdir -p "$2"
    boot_prefix "$2" || exit $?
    if [ -n "${3:-}" ]; then cp "$3" "$2/drive_c/vbx_desktop_wait.exe"; fi
    exit 0
    ;;
  --remove-template)
    WINEPREFIX="$2" wineserver -k >/dev/null 2>&1
    rm -rf "$2"
    exit 0
    ;;
  "")
    echo "usage: $0 <program.exe> [arguments...]" >&2
    exit 2
    ;;
esac

prefix="$(mktemp -d /tmp/vbx-wine.XXXXXX)"
export WINEPREFIX="$prefix"
cleanup() {
  wineserver -k >/dev/null 2>&1
  rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

if [ -n "${VBX_WINE_TEMPLATE:-}" ] && [ -f "$VBX_WINE_TEMPLATE/system.reg" ]; then
  cp -a "$VBX_WINE_TEMPLATE/." "$prefix/"
else
  boot_prefix "$prefix"
fi

if [ -f "$prefix/drive_c/vbx_desktop_wait.exe" ] &&
   ! "$wine_cmd" 'C:\vbx_desktop_wait.exe' desktop 30000 >/dev/null; then
  echo "run-under-wine.sh: Wine's desktop was not ready within 30 s" >&2
fi
"$wine_cmd" "$@"
