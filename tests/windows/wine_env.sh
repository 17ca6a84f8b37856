# Sourced by the Wine tests: a private WINEPREFIX made quietly (no Mono or Gecko
# prompts, no debug output) and stopped again on exit.
WINE=${WINE:-$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)}
WINESERVER=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=

wine_prefix() {  # dir: makes and uses a fresh prefix
  export WINEPREFIX=$1
  "$WINE" wineboot --init >"$1.log" 2>&1
}
wine_stop() { [ -n "${WINEPREFIX:-}" ] && "$WINESERVER" -k 2>/dev/null; return 0; }
