#!/bin/sh
# The folders of the 32-bit source form one order, bottom to top:
#   twain/       the protocol vocabulary and the debug log every layer writes
#   settings/    the user's settings record, its registry form, the curves
#   capability/  capability values, containers and their rules
#   diag/        the system report
#   grabber/     the board: binding, start-up, capture, preview, adjustments
#   transfer/    image information and the three transfers
#   ui/          the settings dialog
#   source/      the entry point, dispatch, state machine, control operations
# A file includes only from its own folder and the folders below it. The
# 64-bit source (ds64/) and its host (dshost/) share nothing with the 32-bit
# source but twain/ and their message format (bridge/, which includes nothing
# of the product but the protocol's types). Every include that breaks this is
# named with its file and line. Run from the top of the tree ($1).
cd "${1:-.}" || exit 1
order="twain settings capability diag grabber transfer ui source"
fail=0

# Prints each quoted include of a folder-qualified header whose folder is not
# in the allowed list ($2, separated by blanks), as file:line: include.
check() {
    folder=$1 allowed=" $2 " why=$3
    for file in "$folder"/*.cpp "$folder"/*.h "$folder"/*.rc; do
        [ -f "$file" ] || continue
        grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*/' "$file" |
            while IFS= read -r line; do
                target=${line#*\"}
                case $allowed in
                *" ${target%%/*} "*) ;;
                *" ${target%%\"*} "*) ;;
                *) echo "$file:$line: $why" ;;
                esac
            done
    done
}

below=
for folder in $order; do
    below="$below $folder"
    check "$folder" "$below" "includes from a folder above $folder/" | grep . && fail=1
done
check bridge "bridge twain/twain_types.h" "the message format includes from the product" | grep . && fail=1
for folder in ds64 dshost; do
    check "$folder" "twain bridge $folder" "the 64-bit side includes from the 32-bit source" | grep . && fail=1
done
# Inside a folder the files form an order too (a header and its .cpp are
# one unit): no two lean on each other through their includes. Each circle
# is named with its folder and units.
circles() {
    folder=$1
    for file in "$folder"/*.cpp "$folder"/*.h; do
        [ -f "$file" ] || continue
        unit=$(basename "${file%.*}")
        grep -o '^[[:space:]]*#[[:space:]]*include[[:space:]]*"'"$folder"'/[^"]*"' "$file" |
            sed 's|.*"'"$folder"'/\([^"]*\)\.[^."]*"$|\1|' |
            while IFS= read -r used; do
                [ "$used" != "$unit" ] && echo "$unit $used"
            done
    done | tsort 2>&1 >/dev/null | sed "s|^tsort: -: input contains a loop:|$folder/: files include each other in a circle:|; s|^tsort: |    |"
}
for folder in $order bridge ds64 dshost; do
    circles "$folder" | grep . && fail=1
done
[ $fail = 0 ] && echo "layers: no include runs back up, no files include each other in a circle"
exit $fail
