#!/bin/sh
# Both systemd user units pass `systemd-analyze verify` without a single
# complaint (it warns about unknown keys but still exits 0). Usage:
# verify_units.sh <folder of the .service.in files> <built tandro-zv-server>.
# Exit 77 (skipped) where systemd-analyze is missing.
command -v systemd-analyze >/dev/null 2>&1 || exit 77
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
status=0
for unit in tandro-zv-server.service tandro-zv-server@.service; do
    sed "s|@CMAKE_INSTALL_FULL_BINDIR@/tandro-zv-server|$2|" "$1/$unit.in" >"$dir/$unit" || exit 1
    name=$(echo "$unit" | sed 's/@\./@gps./')
    out=$(systemd-analyze verify --man=no "$dir/$name" 2>&1) || status=1
    [ -z "$out" ] || { echo "$name: $out"; status=1; }
    grep -q -- '--headless' "$dir/$unit" || { echo "$unit: not headless"; status=1; }
done
grep -q -- '--instance %i' "$dir/tandro-zv-server@.service" || { echo "template: no --instance %i"; status=1; }
exit $status
