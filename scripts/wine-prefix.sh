#!/bin/sh
# The Wine prefix of the tests and the one Wine server they all run on (ctest's fixtures):
#   wine-prefix.sh start LOADER LOG   before the first row
#   wine-prefix.sh end LOADER         after the last
# with WINEPREFIX and TMPDIR set (Wine's server lives under TMPDIR). Started by the loader itself,
# the server ends as its last program does (Debian's wineserver passes -p0), so a run that follows
# another at once could meet it shutting down, or reach a fresh one only after the old has gone.
# This one stays until the end, which waits for it; so no row starts while a server shuts down,
# and none outlives the suite. The prefix's own programs (services.exe, winedevice.exe…) start
# here too, writing to LOG, never into a row's error stream.
set -eu
server=$(dirname "$2")/wineserver
case $1 in
start)
  mkdir -p "$TMPDIR" "$WINEPREFIX"
  # A server of a suite that was stopped goes first: one already there would stay in its place.
  "$server" -k 2>/dev/null || true
  "$server" -w
  if ! "$server" -p 2>"$3"; then
    cat "$3"
    exit 1
  fi
  # Nothing the table does not need: no menu entries written for the prefix's programs
  # (winemenubuilder), no .NET or web engine installed (mscoree, mshtml), no desktop, which
  # without a display fails as each console on a terminal starts it ("The explorer process failed
  # to start."), and no debugger started on a crash (winedbg), whose dump would fill the crashed
  # run's error stream.
  export WINEDLLOVERRIDES='winemenubuilder.exe,mscoree,mshtml,explorer.exe,winedbg.exe='
  if ! "$2" wineboot --init >>"$3" 2>&1 </dev/null; then
    cat "$3"
    exit 1
  fi
  # The same for every program the rows start; and the trace that shows the tool's own calls to
  # these, in order.
  cat >"$TMPDIR/settings.reg" <<'END'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\DllOverrides]
"winemenubuilder.exe"=""
"mscoree"=""
"mshtml"=""
"explorer.exe"=""
"winedbg.exe"=""

[HKEY_CURRENT_USER\Software\Wine\Debug]
"RelayInclude"="KERNEL32.FlushFileBuffers;KERNEL32.SetFileInformationByHandle;KERNEL32.CreateFileW;KERNEL32.CreateMutexExW;KERNEL32.WaitForSingleObject"
END
  "$2" reg import "$TMPDIR/settings.reg"
  rm "$TMPDIR/settings.reg"
  ;;
end)
  # Already gone (an end repeated, as ctest --repeat does each test in turn) is ended all the same;
  # a server that died mid-suite has failed its rows already, as "Wine failed".
  "$server" -k 2>/dev/null || true
  "$server" -w
  ;;
esac
