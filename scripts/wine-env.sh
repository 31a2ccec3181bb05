# Sourced by the scripts: a private, quiet Wine prefix for one build folder.
# Expects BUILD_DIR to be set.
export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko install prompts: the program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Starts a persistent wineserver and boots the prefix once (plain "wineboot": with
# -i the prefix is initialised twice and two services.exe answer the service
# manager's pipe, each with its own service list). Every standard stream
# is detached, or Wine's background processes keep the caller's pipes open.
wine_start() {
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1 || true  # already running is fine
    wine wineboot </dev/null >/dev/null 2>&1
}

wine_stop() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
}
