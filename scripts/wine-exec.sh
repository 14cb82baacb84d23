#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own 32-bit prefix.
export WINEDEBUG=-all
export WINEARCH=win32
export WINEPREFIX=${VARDOK_WINEPREFIX:-$HOME/.vardok/wine}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}
exec wine "$@"
