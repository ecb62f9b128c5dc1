#!/bin/sh
# Run Minimized under a real window manager (twm on Xvfb): the window that
# opens must be iconic. Usage: run_minimized_wm.sh <server binary>
command -v Xvfb >/dev/null || { echo "SKIP: Xvfb missing"; exit 77; }
dir=$(mktemp -d) && trap 'kill $server $wm $xvfb 2>/dev/null; wait; rm -rf "$dir"' EXIT
mkdir -p "$dir/Tandro ZV Server" && chmod 700 "$dir"
printf '[settings]\nWindowState=1\ncom%%20port=0\n' >"$dir/Tandro ZV Server/Tandro ZV Server.ini"
# Every wait polls, for at most 60 s.
poll() { i=0; until eval "$1"; do i=$((i + 1)); [ $i -lt 300 ] || return 1; sleep 0.2; done; }
# Xvfb picks a free display itself: safe beside other X servers starting now.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" 2>"$dir/x.log" & xvfb=$!
poll '[ -s "$dir/display" ]' || { cat "$dir/x.log"; exit 1; }
export DISPLAY=":$(cat "$dir/display")" XDG_CONFIG_HOME="$dir" XDG_RUNTIME_DIR="$dir" SERVER="$1"
# A client that could not connect yet (a busy machine) is started again.
up() { v=$1 && shift && eval "kill -0 \"\$$v\"" 2>/dev/null && return
    "$@" >>"$dir/x.log" 2>&1 & eval "$v=\$!"; }
wm_ready() { up wm env LC_ALL=C twm; xdotool search --name "TWM Icon Manager" >/dev/null; }
iconic() { up server env QT_QPA_PLATFORM=xcb "$SERVER"; for w in $(xdotool search --name '^Tandro ZV Server$'); do
    xprop -id "$w" WM_STATE | grep -q 'window state: Iconic' && return 0; done; return 1; }
poll wm_ready && poll iconic || { cat "$dir/x.log"; xwininfo -root -tree; exit 1; }
