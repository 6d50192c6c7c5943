#!/usr/bin/env bash
# Runs a Windows executable under Wine 8 (Debian's wine64, whose loader is
# not on PATH). Quiet unless WINEDEBUG is set by the caller.
set -euo pipefail
export WINEDEBUG="${WINEDEBUG:--all}"
WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine)
exec "$WINE" "$@"
