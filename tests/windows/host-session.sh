#!/bin/sh
# host-session.sh WINE-RUN PREFIX BINDIR SCRIPT - zelmxcc-host.exe drives a
# whole class session from a script under Wine: the notification arrives,
# the session is listed as ended, and the end call deletes the inputs file.
wine_run=$1 prefix=$2 bindir=$3 script=$4
cd "$bindir" || exit 1
rm -f host-report.txt host-report.txt.inputs
out=$("$wine_run" "$prefix" ./zelmxcc-host.exe "$script" 2>&1)
rc=$?
printf '%s\n' "$out"
rm -f host-report.txt host-report.txt.inputs
fail() { echo "host-session: $1" >&2; exit 1; }
[ $rc -eq 0 ] || fail "exit status $rc"
printf '%s\n' "$out" | grep -q "notification: message 0x8001: session 1 has ended" || fail "no notification"
printf '%s\n' "$out" | grep -q "session 1: ended" || fail "not listed as ended"
printf '%s\n' "$out" | grep -q " gone" || fail "the inputs file was not deleted"
echo "host-session: ok"
