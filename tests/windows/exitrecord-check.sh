#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# wine_exec (wine-prefix.sh) gives a Windows program's own exit status, also
# when the process behind the finished program is killed, as the Wine server
# does when it lingers; a kill that comes before the program has ended stays a
# failure. Wine here is a stand-in that runs the real one and then, as asked,
# kills itself, or kills itself before it runs anything.
#
# exitrecord-check.sh <work dir> <wine64> <wineserver>
# Needs KIVERLO_WINE_EXITRECORD (the built exitrecord.exe).
set -eu
work=$1 real_wine=$2 wineserver=$3
. "$(dirname "$0")/wine-prefix.sh"

rm -rf "$work"
mkdir -p "$work"
wine_prefix "$work/prefix"
trap wine_stop EXIT
wine=$work/wine
cat >"$wine" <<STANDIN
#!/bin/sh
[ "\${KILL_WINE:-}" != before ] || kill -KILL \$\$
"$real_wine" "\$@"
status=\$?
[ "\${KILL_WINE:-}" != after ] || kill -KILL \$\$
exit \$status
STANDIN
chmod +x "$wine"

# check <expected status> <kill: none, after, before> <program> [argument...]
check() {
    expected=$1
    kill=$2
    shift 2
    got=0
    KILL_WINE=$kill wine_exec "$@" >"$work/out.log" 2>&1 || got=$?
    if [ "$got" = "$expected" ]; then
        printf '%s (kill: %s): %s\n' "$*" "$kill" "$got"
    else
        printf '%s (kill: %s): %s, not %s\n' "$*" "$kill" "$got" "$expected" >&2
        tr -d '\r' <"$work/out.log" >&2
        fail "$*, kill $kill"
    fi
}
# A failure comes through, with a kill after the end and without. (Every
# other Windows check passes through wine_exec with 0 and no kill; the last
# row here has 0 and the kill.)
check 3 none cmd /c exit 3
check 3 after cmd /c exit 3
# An unhandled exception's code (0xC0000005) is above what a status holds.
check 255 after cmd /c exit -1073741819
grep -q "ended with code 0xC0000005" "$work/out.log" || fail "the exception's code is not shown"
check 137 before cmd /c exit 0
# The program's output comes through, with its arguments as given.
check 0 after cmd /c echo 'two words' 'Z:\a folder\'
tr -d '\r' <"$work/out.log" | grep -qxF '"two words" "Z:\a folder\\"' || fail "the program's output or arguments differ"
exit "$failures"
