#!/bin/sh
# The modules an application loads and unloads carry no part of the posix
# thread library: it takes a thread-local-storage slot at load that no
# unload returns (see MODULE_RUNTIME in the top CMakeLists.txt).
nm=$1; shift
fail=0
for module in "$@"; do
    symbols=$("$nm" "$module") || { echo "nm failed on $module"; exit 1; }
    found=$(printf '%s\n' "$symbols" | grep -E ' _?_?(pthread_|__pthread)' | head -3)
    if [ -n "$found" ]; then
        echo "FAIL: $module links the posix thread library:"; printf '%s\n' "$found"; fail=1
    else
        echo "ok: $module"
    fi
done
exit $fail
