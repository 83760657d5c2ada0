# Sourced by the project's scripts: where things live and how Wine runs here. The variables that
# are set and not exported are read by those scripts.
# shellcheck shell=bash disable=SC2034
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
  # shellcheck source=/dev/null  # written by CMake into the build tree
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

# The Wine prefixes of this checkout: the 64-bit tree's (the virtual drive's, and Wine's own CD
# audio driver's) and the 32-bit tree's.
QEL_PREFIXES=("$QEL_ROOT/build/windows/wineprefix" "$QEL_ROOT/build/windows/wineprefix-mcicda"
              "$QEL_ROOT/build/windows32/wineprefix")

# Ends the Wine server of each of this checkout's prefixes, and with it every program still running
# there. A run killed part-way can leave one behind, serving its prefix on an X display that no
# longer exists, and every program the next run starts there then fails; so each run ends them
# before it starts them. Quiet when none runs.
qel_end_wine_servers() {
  local prefix
  for prefix in "${QEL_PREFIXES[@]}"; do
    if [ -d "$prefix" ]; then
      WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    fi
  done
}

# Whether this machine runs 32-bit programs. Not all machines of this kind do: where the kernel
# lacks 32-bit support, the 32-bit Wine loader fails with "Exec format error" while 64-bit Wine
# works. The 32-bit tree is then built and packaged (cross-compiling runs no 32-bit code) but its
# programs are not run. Sets and exports QEL_RUN_32BIT (1 or 0) and, for 0, QEL_NO_32BIT (the
# sentence that says why), so that the scripts this one starts reuse the answer. QEL_RUN_32BIT=0
# or 1 in the environment decides instead, so that both paths can be tried on any machine.
# Returns non-zero only for another value of QEL_RUN_32BIT.
QEL_WINE32=/usr/lib/wine/wine  # the loader the 32-bit tree names (CMakeLists.txt)
qel_probe_32bit() {
  local why="" out rc
  case "${QEL_RUN_32BIT:-}" in
    1) QEL_NO_32BIT= ;;
    0) why="QEL_RUN_32BIT=0 says so" ;;
    '')
      rc=0
      # Started by bash, not by timeout itself: that one (execvp) hands a file the kernel refuses
      # to /bin/sh as a script.
      # shellcheck disable=SC2016  # $0 is the inner shell's
      out=$(timeout 30 bash -c '"$0" --version' "$QEL_WINE32" 2>&1) || rc=$?
      if [ $rc -eq 0 ] && [[ $out == wine-* ]]; then
        QEL_RUN_32BIT=1
        QEL_NO_32BIT=
      elif [ $rc -eq 124 ]; then
        why="$QEL_WINE32 --version did not answer within 30 s"
      else
        # The last line, without the shell's "line N: <path>:" before the error; bounded, as it
        # goes into one line.
        out=${out##*$'\n'}
        out=${out##*"$QEL_WINE32: "}
        why="$QEL_WINE32 --version: ${out:0:120}"
      fi ;;
    *)
      echo "QEL_RUN_32BIT is 0 or 1 (or unset: probe the machine), not '$QEL_RUN_32BIT'" >&2
      return 1 ;;
  esac
  if [ -n "$why" ]; then
    QEL_RUN_32BIT=0
    # A reason passed down by the script that probed stays; only a new decision writes one.
    QEL_NO_32BIT=${QEL_NO_32BIT:-"this machine runs no 32-bit programs ($why)"}
  fi
  export QEL_RUN_32BIT QEL_NO_32BIT
}

# Whether the programs of the tree in use run here: a 64-bit tree's always, a 32-bit tree's where
# the machine runs 32-bit programs. Says why not on stderr, prefixed with $1 (the caller's name).
qel_tree_runs_here() {
  [ "$WINEARCH" = win32 ] || return 0
  qel_probe_32bit || return 1
  if [ "$QEL_RUN_32BIT" = 0 ]; then
    echo "$1: $QEL_NO_32BIT, so $QEL_WIN_BUILD's programs cannot run here" >&2
    return 1
  fi
}

# Starts an Xvfb display when none is set; QEL_XVFB_PID tells the caller what to stop.
qel_ensure_display() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
    return 0
  fi
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    QEL_XVFB_PID=$!
    local _
    for _ in $(seq 1 100); do
      if xdpyinfo -display ":$n" >/dev/null 2>&1; then
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
