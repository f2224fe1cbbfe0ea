#!/bin/bash
# check-binary.sh OBJDUMP BINDIR - check the binary interface of the 32-bit
# DLLs in BINDIR with objdump -p:
#  - ZELMXCC.dll exports exactly SimOpsEndClass @1, SimOpsSetClass @2 and
#    SimOpsStartClass @3, by these undecorated names;
#  - it imports from ZELMWS.dll exactly ordinals 14 and 18 and from
#    ZELMENV.dll exactly ordinals 67 and 104, by ordinal, no name;
#  - none of the three DLLs depends on anything but the system's DLLs and
#    the host DLLs (no libgcc_s, libstdc++ or libwinpthread);
#  - ZELMWS.dll and ZELMENV.dll export the host-service calls under their
#    ordinals (14, 18; 67, 104) and names, undecorated.
set -u
objdump=$1
bindir=$2
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# "ORDINAL NAME" for every named export of $1, sorted by ordinal.
exports() {
    "$objdump" -p "$1" | awk '
        /^Ordinal Base/ { base = $3 + 0 }
        /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
        names && /^[ \t]*\[ *[0-9]+\]/ {
            line = $0
            sub(/^[ \t]*\[ */, "", line)
            idx = line + 0
            sub(/^[0-9]+\] */, "", line)
            print base + idx, line
            next
        }
        names && /^[ \t]*$/ { names = 0 }
    ' | sort -n
}

# Number of entries of the export address table of $1.
export_count() {
    local hex
    hex=$("$objdump" -p "$1" | awk '/^\tExport Address Table[ \t]+[0-9a-fA-F]+$/ { print $4; exit }')
    [ -n "$hex" ] && echo $((16#$hex))
}

# "DLL KIND VALUE" for every import of $1: KIND is ord (VALUE the ordinal)
# or name (VALUE the name).
imports() {
    "$objdump" -p "$1" | awk '
        /^\tDLL Name: / { dll = $3; inside = 1; next }
        inside && /^[ \t]*$/ { inside = 0; next }
        inside && /vma:/ { next }
        inside && /^\t[0-9a-fA-F]+\t/ {
            if ($3 == "<none>") print dll, "ord", $2
            else print dll, "name", $3
        }
    '
}

# DLL names that $1 depends on, upper case.
dependencies() {
    "$objdump" -p "$1" | awk '/^\tDLL Name: / { print toupper($3) }' | sort -u
}

for dll in ZELMXCC.dll ZELMWS.dll ZELMENV.dll; do
    if [ ! -f "$bindir/$dll" ]; then
        fail "$bindir/$dll missing"
    fi
done
[ "$failures" -eq 0 ] || exit 1

# ---- ZELMXCC.dll exports ----------------------------------------------------
got=$(exports "$bindir/ZELMXCC.dll")
want=$'1 SimOpsEndClass\n2 SimOpsSetClass\n3 SimOpsStartClass'
if [ "$got" != "$want" ]; then
    fail "ZELMXCC.dll exports:"$'\n'"$got"$'\n'"expected:"$'\n'"$want"
fi
count=$(export_count "$bindir/ZELMXCC.dll")
if [ "$count" != "3" ]; then
    fail "ZELMXCC.dll export address table has ${count:-no} entries, expected 3"
fi

# ---- ZELMXCC.dll imports of the host services ---------------------------------
got=$(imports "$bindir/ZELMXCC.dll" | grep -Ei '^ZELM(WS|ENV)\.dll ' | sort)
want=$'ZELMENV.dll ord 104\nZELMENV.dll ord 67\nZELMWS.dll ord 14\nZELMWS.dll ord 18'
if [ "$got" != "$want" ]; then
    fail "ZELMXCC.dll host-service imports:"$'\n'"$got"$'\n'"expected:"$'\n'"$want"
fi

# ---- Dependencies: the system's DLLs and the host DLLs only ---------------------
system_dll='^(KERNEL32|USER32|ADVAPI32|MSVCRT|UCRTBASE|API-MS-WIN-CRT-[A-Z0-9-]+-L[0-9]+-[0-9]+-[0-9]+)\.DLL$'
for dll in ZELMXCC.dll ZELMWS.dll ZELMENV.dll; do
    while read -r dep; do
        [ -n "$dep" ] || continue
        if [[ "$dep" =~ $system_dll ]]; then
            continue
        fi
        case "$dll:$dep" in
        ZELMXCC.dll:ZELMWS.DLL | ZELMXCC.dll:ZELMENV.DLL | ZELMWS.dll:ZELMENV.DLL) ;;
        *) fail "$dll depends on $dep" ;;
        esac
    done < <(dependencies "$bindir/$dll")
done
if ! dependencies "$bindir/ZELMXCC.dll" | grep -qx USER32.DLL; then
    fail "ZELMXCC.dll does not import USER32.dll"
fi

# ---- The host DLLs' service exports -----------------------------------------------
ws=$(exports "$bindir/ZELMWS.dll")
env=$(exports "$bindir/ZELMENV.dll")
for pair in "ZELMWS.dll:14 SimWsQueryObj" "ZELMWS.dll:18 SimWsStoreObj" \
    "ZELMENV.dll:67 SimOpsFreeMem" "ZELMENV.dll:104 SimOpsAllocMem"; do
    dll=${pair%%:*}
    entry=${pair#*:}
    if [ "$dll" = ZELMWS.dll ]; then list=$ws; else list=$env; fi
    if ! grep -qx "$entry" <<<"$list"; then
        fail "$dll does not export $entry"
    fi
done
if grep -q '@' <<<"$ws"$'\n'"$env"; then
    fail "decorated names exported:"$'\n'"$(grep '@' <<<"$ws"$'\n'"$env")"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "ZELMXCC.dll exports:"
exports "$bindir/ZELMXCC.dll" | sed 's/^/  @/'
echo "ZELMXCC.dll depends on:" $(dependencies "$bindir/ZELMXCC.dll")
echo "ZELMXCC.dll host-service imports:"
imports "$bindir/ZELMXCC.dll" | grep -Ei '^ZELM(WS|ENV)\.dll ' | sed 's/^/  /'
echo "binary interface as expected"
