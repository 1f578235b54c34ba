#!/usr/bin/env bash
# Runs a Windows test executable under Wine. The first Wine process starts
# background services that inherit stdout/stderr; under CTest they would hold
# its pipes and hang the run, so the session is started detached first.
set -e
: "${WINEPREFIX:=${KILN_WINEPREFIX:-$HOME/.kiln-wine}}"
export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml=,winemenubuilder.exe=d'
WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=$(command -v wine64)
# The marker names the set-up's revision: a prefix made by an older one gets
# the missing settings on its next use.
if [ ! -f "$WINEPREFIX/.kiln-ready-2" ]; then
  mkdir -p "$WINEPREFIX"
  "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
  # Hidden windows, timers and dialogs work without a display with the null driver.
  "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 || true
  # A crash starts the debugger, whose crash dialog waits for a click that never
  # comes (invisible under the null driver) while it holds the caller's pipes.
  # Without the dialog it prints the backtrace and the test ends with code 5.
  "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1 || true
  # The session started above runs with the display driver it found; only a
  # new one uses the null driver (top-level windows of the test players).
  "$(dirname "$WINE")/wineserver" -k 2>/dev/null || wineserver -k 2>/dev/null || true
  "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.kiln-ready-2"
else
  "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
# Dialogs are laid out in "MS Shell Dlg"; without Wine's own fonts (Debian's
# fonts-wine) in the prefix it falls back to a font of other metrics.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [ -d /usr/share/wine/fonts ] && [ -d "$fonts" ] && [ ! -f "$fonts/tahoma.ttf" ]; then
  cp /usr/share/wine/fonts/*.ttf "$fonts/" 2>/dev/null || true
fi
exec "$WINE" "$@"
