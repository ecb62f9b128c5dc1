#!/bin/sh
# Run Minimized under a real window manager (twm on Xvfb): the window that
# opens must be iconic. Usage: run_minimized_wm.sh <server binary>
if [ -z "$ZV_IN_XVFB" ]; then
    command -v xvfb-run >/dev/null || { echo "SKIP: xvfb-run missing"; exit 77; }
    ZV_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
dir=$(mktemp -d) && trap 'kill $server $wm 2>/dev/null; rm -rf "$dir"' EXIT
mkdir -p "$dir/Tandro ZV Server" && chmod 700 "$dir"
printf '[settings]\nWindowState=1\ncom%%20port=0\n' >"$dir/Tandro ZV Server/Tandro ZV Server.ini"
LC_ALL=C twm >"$dir/twm.log" 2>&1 & wm=$!
# Every wait polls, for at most 60 s.
poll() { i=0; until eval "$1"; do i=$((i + 1)); [ $i -lt 300 ] || return 1; sleep 0.2; done; }
poll 'xdotool search --name "TWM Icon Manager" >/dev/null' || { cat "$dir/twm.log"; exit 1; }
XDG_CONFIG_HOME=$dir XDG_RUNTIME_DIR=$dir QT_QPA_PLATFORM=xcb "$1" & server=$!
iconic() {
    for w in $(xdotool search --name '^Tandro ZV Server$'); do
        xprop -id "$w" WM_STATE | grep -q 'window state: Iconic' && return 0
    done
    return 1
}
poll iconic && exit 0
for w in $(xdotool search --name '^Tandro ZV Server$'); do xprop -id "$w" WM_STATE; done
exit 1
