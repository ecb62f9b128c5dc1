#!/bin/sh
# Both systemd user units pass `systemd-analyze verify` without a single
# complaint (it warns about unknown keys but still exits 0), and hold what the
# service relies on: it runs tandro-zv-service, which says when it is ready
# and feeds a watchdog. Usage: verify_units.sh <folder of the .service.in
# files> <built tandro-zv-server> (the service program is built beside it).
# Exit 77 (skipped) where systemd-analyze is missing.
command -v systemd-analyze >/dev/null 2>&1 || exit 77
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
service=$(dirname "$2")/tandro-zv-service
status=0
for unit in tandro-zv-server.service tandro-zv-server@.service; do
    sed "s|@CMAKE_INSTALL_FULL_BINDIR@/tandro-zv-service|$service|" "$1/$unit.in" >"$dir/$unit" || exit 1
    name=$(echo "$unit" | sed 's/@\./@gps./')
    out=$(systemd-analyze verify --man=no "$dir/$name" 2>&1) || status=1
    [ -z "$out" ] || { echo "$name: $out"; status=1; }
    for line in "ExecStart=$service" Type=notify NotifyAccess=main WatchdogSec= \
        Restart=on-failure TimeoutStopSec=; do
        grep -q "^$line" "$dir/$unit" || { echo "$unit: no $line"; status=1; }
    done
done
grep -q "^ExecStart=$service --instance %i\$" "$dir/tandro-zv-server@.service" ||
    { echo "template: no --instance %i"; status=1; }
exit $status
