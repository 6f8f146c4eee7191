#!/bin/bash
# Runs a Windows test program under Wine: run-wine.sh win32|win64 program [args].
# Each architecture gets its own prefix, made on first use.
set -u
arch=$1; shift
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${TBX_WINE_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/tembrix-wine}/$arch
case $arch in
    win32) loader=/usr/lib/wine/wine; export WINEARCH=win32 ;;
    win64) loader=/usr/lib/wine/wine64; export WINEARCH=win64 ;;
    *) echo "run-wine.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # Tests start in parallel: one of them makes the prefix, the others wait.
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            "$loader" wineboot -i >/dev/null 2>&1
            /usr/lib/wine/wineserver -w 2>/dev/null
        fi
    ) 9>"$WINEPREFIX.lock"
fi
exec "$loader" "$@"
