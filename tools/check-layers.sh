#!/bin/sh
# The layers as the build keeps them: each folder includes only the folders
# below it, and only the window includes widgets. Usage: check-layers.sh ROOT
cd "$1" || exit 1
status=0
check() {  # folder, the folders it may include
    folder=$1; shift
    for file in "$folder"/*.cpp "$folder"/*.h; do
        [ -e "$file" ] || continue
        for used in $(sed -n 's|^#include "\([a-z]*\)/.*|\1|p' "$file" | sort -u); do
            case " $folder $* " in *" $used "*) ;; *) echo "$file includes $used/"; status=1 ;; esac
        done
        if [ "$folder" = cipher ] && grep -q '#include <Q' "$file"; then
            echo "$file includes Qt"
            status=1
        fi
        if [ "$folder" != app ] && grep -q '#include <Qt\(Widgets\|Gui\)\|#include <Q\(Widget\|MainWindow\|Application\|Action\|Menu\|Label\|Dialog\)>' "$file"; then
            echo "$file includes a widget or GUI header"
            status=1
        fi
    done
}
check cipher
check stream cipher
check net cipher stream
check serial cipher stream
check core cipher stream net serial
check service cipher stream net serial core
check app cipher stream net serial core
check client cipher stream
exit $status
