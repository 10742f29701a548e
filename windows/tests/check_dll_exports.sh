#!/bin/sh
# Checks that a DLL exports exactly the names of a .def file's EXPORTS list.
# Usage: check_dll_exports.sh DLL DEF
set -eu

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
[ $# -eq 2 ] || { echo "usage: check_dll_exports.sh DLL DEF" >&2; exit 2; }
dll=$1
def=$2

expected=$(awk 'found && NF { print $1 } $1 == "EXPORTS" { found = 1 }' "$def" | sort)
# The name table follows "[Ordinal/Name Pointer] Table"; its rows are "[n] name".
actual=$("$OBJDUMP" -p "$dll" | awk '
    /\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table && /^[ \t]*\[ *[0-9]+\][ \t]+[A-Za-z_]/ { print $NF; next }
    table { table = 0 }
' | sort)

if [ "$actual" != "$expected" ]; then
    echo "check_dll_exports: $dll exports:" >&2
    echo "$actual" >&2
    echo "expected exactly:" >&2
    echo "$expected" >&2
    exit 1
fi
echo "check_dll_exports: $dll exports exactly the $(echo "$expected" | wc -l) names of $(basename "$def")"
