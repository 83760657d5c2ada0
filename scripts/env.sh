# Sourced by the project's scripts: where things live and how Wine runs here.
QEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The build trees; another Windows tree (with its own prefix) is chosen by exporting QEL_WIN_BUILD.
export QEL_WIN_BUILD=${QEL_WIN_BUILD:-$QEL_ROOT/build/windows}
QEL_HOST_BUILD=$QEL_ROOT/build/host
export WINEPREFIX=${WINEPREFIX:-$QEL_WIN_BUILD/wineprefix}
# The tree's Wine, from build/<tree>/wine.env (written by CMake): WINEARCH (win64, or win32 for the
# 32-bit build) and the loader QEL_WINE. Called by path, not through Debian's /usr/bin/wine, which
# takes the 32-bit loader whenever wine32 is installed, also for a 64-bit prefix (where it cannot
# start kernel32): a 64-bit prefix always runs under the 64-bit loader.
WINEARCH=win64
QEL_WINE=/usr/lib/wine/wine64
if [ -f "$QEL_WIN_BUILD/wine.env" ]; then
  . "$QEL_WIN_BUILD/wine.env"
fi
export WINEARCH QEL_WINE
case "$QEL_WINE" in
  /*) export WINELOADER=$QEL_WINE ;;
esac
# `wine` in the scripts (and in what they start) is that loader.
case ":$PATH:" in
  *":$QEL_ROOT/scripts/loader:"*) ;;
  *) export PATH=$QEL_ROOT/scripts/loader:$PATH ;;
esac
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine takes its ANSI code page from the locale: 932 makes the Japanese texts right. It is given
# to Wine's commands alone (LC_ALL=$QEL_LOCALE wine ...): no glibc locale of that name is needed.
QEL_LOCALE=ja_JP.UTF-8

# Starts an Xvfb display when none is set; QEL_XVFB_PID tells the caller what to stop.
qel_ensure_display() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
    return 0
  fi
  local n
  for n in $(seq 90 140); do
    [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
    Xvfb :$n -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    QEL_XVFB_PID=$!
    local i
    for i in $(seq 1 100); do
      if xdpyinfo -display :$n >/dev/null 2>&1; then
        export DISPLAY=:$n
        return 0
      fi
      kill -0 $QEL_XVFB_PID 2>/dev/null || break
      sleep 0.1
    done
    kill $QEL_XVFB_PID 2>/dev/null
  done
  echo "could not start an Xvfb display" >&2
  return 1
}
