#!/bin/sh
# Checks that a built ZelVCOM.sys is a kernel driver image:
#   - Subsystem 1 (native);
#   - the entry point is DriverEntry;
#   - it imports only from ntoskrnl.exe, HAL.dll and NDIS.SYS;
#   - no linked object carries static constructors (.ctors / .init_array):
#     a driver has no C++ runtime to run them, so they would silently not run.
# Usage: check_pe.sh <path-to-ZelVCOM.sys> [link-map]
# The link map defaults to ZelVCOM.map beside the image.
set -u

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
NM=${NM:-x86_64-w64-mingw32-nm}
ALLOWED_DLLS="ntoskrnl.exe HAL.dll NDIS.SYS"

fail() {
    echo "check_pe: $IMAGE: $*" >&2
    exit 1
}

[ $# -ge 1 ] || { echo "usage: check_pe.sh <path-to-ZelVCOM.sys> [link-map]" >&2; exit 2; }
IMAGE=$1
MAP=${2:-$(dirname "$IMAGE")/$(basename "$IMAGE" .sys).map}
[ -f "$IMAGE" ] || fail "no such file"

HEADERS=$("$OBJDUMP" -p "$IMAGE") || fail "objdump cannot read the image"

# Subsystem.
subsystem=$(printf '%s\n' "$HEADERS" | awk '$1 == "Subsystem" { print $2 }')
[ -n "$subsystem" ] || fail "no Subsystem field"
[ $((0x$subsystem)) -eq 1 ] || fail "Subsystem is $subsystem, not 1 (native)"

# Entry point.
entry_rva=$(printf '%s\n' "$HEADERS" | awk '$1 == "AddressOfEntryPoint" { print $2 }')
image_base=$(printf '%s\n' "$HEADERS" | awk '$1 == "ImageBase" { print $2 }')
[ -n "$entry_rva" ] && [ $((0x$entry_rva)) -ne 0 ] || fail "AddressOfEntryPoint is zero"
driver_entry=$("$NM" "$IMAGE" 2>/dev/null | awk '$2 == "T" && $3 == "DriverEntry" { print $1 }')
if [ -z "$driver_entry" ] && [ -f "$MAP" ]; then
    driver_entry=$(awk '$2 == "DriverEntry" && $1 ~ /^0x/ { sub(/^0x/, "", $1); print $1; exit }' "$MAP")
fi
[ -n "$driver_entry" ] || fail "DriverEntry not found in the symbols or the link map"
[ $((0x$image_base + 0x$entry_rva)) -eq $((0x$driver_entry)) ] ||
    fail "entry point 0x$entry_rva is not DriverEntry (0x$driver_entry)"

# Imports.
dlls=$(printf '%s\n' "$HEADERS" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$dlls" ] || fail "no imports at all (expected ntoskrnl.exe)"
for dll in $dlls; do
    case " $ALLOWED_DLLS " in
    *" $dll "*) ;;
    *) fail "imports from $dll; only $ALLOWED_DLLS are allowed" ;;
    esac
done

# Static constructors: input sections of the link map, then the objects it names.
[ -f "$MAP" ] || fail "no link map at $MAP"
ctors=$(awk '
    function hex(text,    digits, i, value) {
        digits = "0123456789abcdef"; value = 0
        text = tolower(text); sub(/^0x/, "", text)
        for (i = 1; i <= length(text); i++) value = value * 16 + index(digits, substr(text, i, 1)) - 1
        return value
    }
    function report(name, size, file) {
        if (hex(size) > 0) print name " (" size " bytes) in " file
    }
    $1 ~ /^\.(ctors|init_array)(\..*)?$/ {
        if (NF >= 4) report($1, $3, $4); else pending = $1
        next
    }
    pending != "" && $1 ~ /^0x/ && NF >= 3 { report(pending, $2, $3) }
    { pending = "" }
' "$MAP")
[ -z "$ctors" ] || fail "static constructors linked in: $ctors"

map_dir=$(dirname "$MAP")
for object in $(awk '$NF ~ /\.obj$/ { print $NF }' "$MAP" | sort -u); do
    # Object paths in the map are relative to the directory the link ran in.
    dir=$map_dir
    while [ ! -f "$dir/$object" ] && [ "$dir" != "/" ]; do dir=$(dirname "$dir"); done
    [ -f "$dir/$object" ] || continue
    "$OBJDUMP" -h "$dir/$object" | awk -v obj="$object" '
    function hex(text,    digits, i, value) {
        digits = "0123456789abcdef"; value = 0
        text = tolower(text); sub(/^0x/, "", text)
        for (i = 1; i <= length(text); i++) value = value * 16 + index(digits, substr(text, i, 1)) - 1
        return value
    }
        $2 ~ /^\.(ctors|init_array)/ && hex($3) > 0 { print obj ": " $2; bad = 1 }
        END { exit bad }
    ' >&2 || fail "object with static constructors: $object"
done

echo "check_pe: $IMAGE: native driver, entry DriverEntry, imports: $(echo $dlls)"
