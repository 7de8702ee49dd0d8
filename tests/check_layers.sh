#!/bin/sh
# The source reads top-down: source/ (the entry point, dispatch, state
# machine and control operations) may include from every folder; the
# subsystems (capability/ grabber/ transfer/ settings/ ui/) never include
# from source/; the protocol vocabulary in twain/ includes nothing of the
# source's own but twain/ and diag/. The 64-bit source (ds64/) and its host
# (dshost/) share nothing with the 32-bit source but twain/, diag/ and their
# message format (bridge/, which includes nothing of the product). Run from
# the top of the tree ($1).
cd "${1:-.}" || exit 1
fail=0
for folder in capability grabber transfer settings ui diag twain; do
    for file in "$folder"/*.cpp "$folder"/*.h "$folder"/*.rc; do
        [ -f "$file" ] || continue
        grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"source/' "$file" | while IFS= read -r line; do
            echo "$file:$line: a subsystem includes from the top folder"
        done | grep . && fail=1
        if [ "$folder" = twain ]; then
            grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*/' "$file" |
                grep -v '"twain/\|"diag/' | while IFS= read -r line; do
                echo "$file:$line: the protocol vocabulary includes from a subsystem"
            done | grep . && fail=1
        fi
    done
done
for folder in bridge ds64 dshost; do
    for file in "$folder"/*.cpp "$folder"/*.h; do
        [ -f "$file" ] || continue
        allowed='"twain/\|"diag/\|"bridge/\|"ds64/'
        [ "$folder" = bridge ] && allowed='"bridge/\|"twain/twain_types.h'
        [ "$folder" = dshost ] && allowed='"twain/\|"bridge/'
        grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*/' "$file" | grep -v "$allowed" |
            while IFS= read -r line; do
                echo "$file:$line: the 64-bit side includes from the 32-bit source"
            done | grep . && fail=1
    done
done
[ $fail = 0 ] && echo "layers: no include runs back up"
exit $fail
