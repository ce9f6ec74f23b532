#!/bin/sh
# Starts the session keeper of the test prefix (WINEPREFIX set) in the background with its output
# discarded, then waits until the session's system processes and the shell's desktop view are up:
# every test program that follows joins the running session instead of starting one that inherits
# its output.
keeper="$1"
desktop_ready="$2"
# Under load a session sometimes comes up whose shell never serves the desktop view, however
# long one waits and whichever desktop process runs; such a session is ended and started anew.
for attempt in 1 2 3; do
  ( wine "$keeper" </dev/null >/dev/null 2>&1 & )
  # Joining the session returns once the server and the service manager answer.
  wine cmd /c exit </dev/null >/dev/null 2>&1
  # Launches through the shell need the desktop view, which Wine's explorer registers a while later.
  wine "$desktop_ready" </dev/null && exit 0
  echo "session $attempt: the shell serves no desktop view; starting the session again" >&2
  wineserver -k
done
exit 1
