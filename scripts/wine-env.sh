# Sourced by the project's scripts: the Wine prefix and a persistent
# wineserver, so that each Wine process starts quickly.
export WINEDEBUG=-all
export WINEARCH=win32
export WINEPREFIX=${VARDOK_WINEPREFIX:-$HOME/.vardok/wine}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}

wine_prefix_ready() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the prefix $WINEPREFIX (once)"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
  fi
  wine_fonts_ready
}

# Wine draws the title bars' buttons with its own Marlett font (fonts-wine
# puts it in /usr/share/wine/fonts). Debian's Wine 8 does not load the fonts
# of that folder: a program there finds no Marlett (nor Tahoma), and the
# buttons draw as the letters "0 1 r" in a fallback font. It does load the
# prefix's own C:\windows\Fonts, so Marlett is put there. Only Marlett:
# the other fonts would change the look (and the text widths) of every
# window.
wine_fonts_ready() {
  local fonts="$WINEPREFIX/drive_c/windows/Fonts" marlett=/usr/share/wine/fonts/marlett.ttf
  if [ -d "$fonts" ] && [ -f "$marlett" ] && [ ! -f "$fonts/marlett.ttf" ]; then
    cp "$marlett" "$fonts/marlett.ttf"
  fi
}

wine_server_start() {
  wine_prefix_ready
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  # The first program that touches windows (icons, message boxes) would
  # otherwise start Wine's desktop process itself, and that process would
  # keep the program's output pipe open for as long as it lives.
  if ! { command -v pgrep >/dev/null && pgrep -f 'explorer.exe /desktop' >/dev/null 2>&1; }; then
    (wine explorer.exe /desktop </dev/null >/dev/null 2>&1 &)
    sleep 1
  fi
}

wine_server_stop() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
}
