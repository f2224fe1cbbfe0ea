#!/bin/bash
# with-xvfb.sh - run a command against a private virtual X server.
#
#   scripts/with-xvfb.sh [--wm openbox] COMMAND [ARG...]
#
# Starts Xvfb on the first free display number (the server reports it
# through -displayfd once it accepts connections), sets DISPLAY for the
# command, and with --wm openbox also starts openbox and waits until it has
# announced itself on the root window (_NET_SUPPORTING_WM_CHECK). Runs the
# command, stops what it started and exits with the command's status. When
# the server or the window manager cannot be started it says so on stderr
# and exits with 125 without running the command.
set -u

wm=""
while [ $# -gt 0 ]; do
    case "$1" in
        --wm) [ $# -ge 2 ] || { echo "with-xvfb.sh: --wm needs a name" >&2; exit 125; }
              wm="$2"; shift 2 ;;
        --wm=*) wm="${1#--wm=}"; shift ;;
        --) shift; break ;;
        -*) echo "with-xvfb.sh: unknown option $1" >&2; exit 125 ;;
        *) break ;;
    esac
done
if [ $# -eq 0 ]; then
    echo "usage: with-xvfb.sh [--wm openbox] COMMAND [ARG...]" >&2
    exit 125
fi
case "$wm" in
    ""|openbox) ;;
    *) echo "with-xvfb.sh: unsupported window manager '$wm'" >&2; exit 125 ;;
esac

tmp=$(mktemp -d "${TMPDIR:-/tmp}/with-xvfb.XXXXXX") || exit 125
xvfb_pid=""
wm_pid=""
cmd_pid=""

# Stop one of our children: TERM, up to 5 s for it to end, then KILL.
stop_child() {
    local pid=$1 i=0 state
    kill -TERM "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
    while [ $i -lt 100 ]; do
        state=""
        read -r _ _ state _ 2>/dev/null <"/proc/$pid/stat"
        if [ -z "$state" ] || [ "$state" = Z ]; then
            break
        fi
        sleep 0.05
        i=$((i + 1))
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

cleanup() {
    [ -n "$cmd_pid" ] && stop_child "$cmd_pid"
    [ -n "$wm_pid" ] && stop_child "$wm_pid"
    [ -n "$xvfb_pid" ] && stop_child "$xvfb_pid"
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mkfifo "$tmp/displayfd" || exit 125
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset \
    3>"$tmp/displayfd" </dev/null >"$tmp/xvfb.log" 2>&1 &
xvfb_pid=$!
display=""
read -r -t 30 display <"$tmp/displayfd"
case "$display" in
    ""|*[!0-9]*)
        echo "with-xvfb.sh: Xvfb did not start:" >&2
        cat "$tmp/xvfb.log" >&2
        exit 125 ;;
esac
export DISPLAY=":$display"

if [ "$wm" = openbox ]; then
    # The system's configuration, not the user's, so that runs behave alike.
    # openbox runs the --startup command once it has set itself up (until
    # then it may drop a map request); the check window must then also name
    # itself, or the property is stale.
    config=()
    if [ -r /etc/xdg/openbox/rc.xml ]; then
        config=(--config-file /etc/xdg/openbox/rc.xml)
    fi
    openbox --sm-disable "${config[@]}" --startup "touch '$tmp/wm-started'" \
        </dev/null >"$tmp/wm.log" 2>&1 &
    wm_pid=$!
    ready=""
    i=0
    while [ $i -lt 400 ]; do
        if ! kill -0 "$wm_pid" 2>/dev/null; then
            break
        fi
        if [ -e "$tmp/wm-started" ]; then
            check=$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | sed -n 's/.*window id # \(0x[0-9a-fA-F]*\).*/\1/p')
            if [ -n "$check" ] &&
               xprop -id "$check" _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id # $check\$"; then
                ready=1
                break
            fi
        fi
        sleep 0.025
        i=$((i + 1))
    done
    if [ -z "$ready" ]; then
        echo "with-xvfb.sh: openbox did not start:" >&2
        cat "$tmp/wm.log" >&2
        exit 125
    fi
fi

# In the background, so that a signal to this script is acted on at once:
# the command is then stopped along with the rest.
"$@" <&0 &
cmd_pid=$!
wait "$cmd_pid"
rc=$?
cmd_pid=""
exit $rc
