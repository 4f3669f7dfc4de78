#!/usr/bin/env bash
# Runs a command (the arguments) with an X server of its own, as ctest runs the tests that
# open windows: a new Xvfb, named to the command by DISPLAY and XAUTHORITY, ended and waited
# for once the command has ended. Exits with the command's status, or with 1 when no server
# started. GRIDLO_X_LAUNCHER tells the command that it runs here, where a server was promised.
#
# In place of xvfb-run -a, which fails when many X tests start at once: it takes the first
# display number without a lock file, so launchers started together take the same one, and
# after ten collisions it runs the command without any server. Here the server takes the
# first number whose socket it can bind (-displayfd), which only one server can do.
#
# The server does not reset when its last client leaves (-noreset): a reset drops every
# client whose connection is not yet set up, so a program started just after a test closed
# its own connection could not connect, now and then.
set -uo pipefail

readonly startPatience=60  # seconds; a server is ready in well under one
readonly screen=1280x1024x24
# The authorization protocol's name, "MIT-MAGIC-COOKIE-1", in hexadecimal for xauth.
readonly cookieProtocol=4d49542d4d414749432d434f4f4b49452d31

directory=$(mktemp -d "${TMPDIR:-/tmp}/gridlo-x.XXXXXX") || exit 1
server=
cleanUp() {
  if [[ -n $server ]]; then
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  rm -rf "$directory"
}
trap cleanUp EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# A cookie for any display number (family "wild", no address, no number): the number is
# known only once the server runs.
export XAUTHORITY=$directory/Xauthority
: >"$XAUTHORITY"
cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
echo "ffff 0000  0000  0012 $cookieProtocol 0010 $cookie" | xauth -q nmerge - || exit 1

# The server writes its display number to the pipe once it accepts connections.
mkfifo "$directory/display" || exit 1
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 "$screen" -auth "$XAUTHORITY" \
  3>"$directory/display" >"$directory/server.log" 2>&1 &
server=$!
number=
read -r -t "$startPatience" number <"$directory/display"
if [[ ! $number =~ ^[0-9]+$ ]]; then
  echo "$(basename "$0"): the X server did not start" >&2
  cat "$directory/server.log" >&2
  exit 1
fi

export DISPLAY=:$number
export GRIDLO_X_LAUNCHER=$(basename "$0")
"$@"
exit $?
