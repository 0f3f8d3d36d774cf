#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The boundaries of the IPC library, checked on the real sources and the real install:
# the tool's commands see only the client and text surfaces, never the socket layer; the
# install holds only the public headers, and they compile on their own.
# Usage: check_layers.sh SOURCE_DIR BUILD_DIR CXX
set -u
src=$1 build=$2 cxx=$3
fail=0
forbidden='platform/transport/|platform/hosting/'

for file in "$src"/commands/*.cpp "$src"/commands/*.h "$src"/commands/typed/*.cpp "$src"/commands/typed/*.h \
    "$src"/commands/monitor/*.cpp "$src"/commands/monitor/*.h; do
    deps=$("$cxx" -std=c++20 -I"$src" -M -x c++ "$file" 2>&1) || { echo "cannot read $file: $deps"; fail=1; continue; }
    # A client passes objects of its own (invoke's `@`): the one public hosting header it
    # may use.
    seen=$(printf '%s\n' "$deps" | tr ' \\' '\n\n' | grep -E "$forbidden" |
        grep -v 'platform/hosting/local_object\.h' | sort -u)
    if [ -n "$seen" ]; then
        echo "${file#$src/} reaches past the client surface:"; printf '  %s\n' $seen; fail=1
    fi
done

# The library's floors, each using only those below it: an include that climbs back up
# would make the floors one knot.
floors=(text base transport ipc hosting)
for ((i = 0; i < ${#floors[@]}; i++)); do
    floor=${floors[i]}
    above=$(printf '%s|' "${floors[@]:i+1}")
    [ -n "$above" ] || continue
    climbs=$(grep -nE "#include \"platform/(${above%|})/|#include \"platform/(${above%|})\.h\"" \
        "$src"/platform/"$floor"/*.h "$src"/platform/"$floor"/*.cpp 2>/dev/null)
    if [ -n "$climbs" ]; then
        echo "platform/$floor/ includes a floor above it:"; printf '  %s\n' "$climbs"; fail=1
    fi
done

# The tool's data goes one way: commands -> commands/typed (invoke's typed values) -> idl
# (the language). The language includes neither; the typed values include no command but
# the tool's limits table.
climbs=$(grep -nE '#include "commands/' "$src"/idl/*.h "$src"/idl/*.cpp 2>/dev/null)
if [ -n "$climbs" ]; then
    echo "idl/ includes the commands above it:"; printf '  %s\n' "$climbs"; fail=1
fi
climbs=$(grep -nE '#include "commands/' "$src"/commands/typed/*.h "$src"/commands/typed/*.cpp 2>/dev/null |
    grep -vE '#include "commands/(typed/|limits\.h")')
if [ -n "$climbs" ]; then
    echo "commands/typed/ includes the commands above it:"; printf '  %s\n' "$climbs"; fail=1
fi

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "install failed"; exit 1; }
headers=$(cd "$prefix/include/zorlek" && find . -name '*.h' | sed 's#^\./##' | sort)
leaked=$(printf '%s\n' "$headers" | grep -E 'transport/|little_endian|call_context|channel_server|registry_link|object_table|object_proxy|registry_client' )
if [ -n "$leaked" ]; then echo "internal headers installed:"; printf '  %s\n' $leaked; fail=1; fi
for chief in platform/ipc.h platform/hosting.h platform/text.h; do
    printf '%s\n' "$headers" | grep -qx "$chief" || { echo "$chief is not installed"; fail=1; }
    # Only the installed tree on the include path: a public header that needs an
    # internal one does not compile here.
    echo "#include \"$chief\"" | "$cxx" -std=c++20 -fsyntax-only -I"$prefix/include/zorlek" -x c++ - \
        || { echo "$chief does not compile from the install alone"; fail=1; }
done
# Built without C++20 (the .pc file forces no standard), the headers say what they need.
why=$(echo '#include "platform/ipc.h"' | "$cxx" -std=c++17 -fsyntax-only -I"$prefix/include/zorlek" -x c++ - 2>&1)
case $why in
*"zorlek's headers need C++20 or later: compile with -std=c++20"*) ;;
*) echo "built as C++17, the headers do not say they need C++20:"; printf '%s\n' "$why" | head -5; fail=1 ;;
esac
[ $fail -eq 0 ] && echo "layers hold: $(printf '%s\n' "$headers" | wc -l) public headers"
exit $fail
