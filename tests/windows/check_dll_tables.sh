#!/bin/sh
# Checks the export and import tables of windowsfscm.dll as the Windows loader and the JVM see
# them: a DLL for the platform's machine, its own name, exactly the three entry points,
# undecorated, at ordinals 1 to 3, and imports from KERNEL32.dll alone.
# Usage: check_dll_tables.sh DLL windows-x86|windows-x86_64|windows-aarch64
set -u
dll=$1
# mingw-w64's objdump reads no ARM64 DLL; LLVM's does, and lays its tables out otherwise.
case $2 in
windows-x86) objdump=i686-w64-mingw32-objdump format=pei-i386 layout=gnu ;;
windows-x86_64) objdump=x86_64-w64-mingw32-objdump format=pei-x86-64 layout=gnu ;;
windows-aarch64) objdump=llvm-objdump-19 format=coff-arm64 layout=llvm ;;
*)
  echo "unknown platform $2: windows-x86, windows-x86_64 or windows-aarch64" >&2
  exit 2
  ;;
esac
tables=$("$objdump" -p "$dll") || exit 1

# Each layout gives: the exports' and the imports' part of the listing; the DLL's name in its
# export table; the ordinal base; how many functions the address table holds; each name with
# its ordinal ("1 name;2 name;"); and the names of the imported functions.
if [ "$layout" = gnu ]; then
  exports=$(echo "$tables" | sed -n '/^The Export Tables/,/^PE File Base Relocations/p')
  imports=$(echo "$tables" | sed -n '/^The Import Tables/,/^The Export Tables/p')
  name=$(echo "$exports" | awk '/^Name[ \t]/ { print $3 }')
  base=$(echo "$exports" | awk '$1 == "Ordinal" && $2 == "Base" { print $3; exit }')
  count=$(echo "$exports" | awk '/^\tExport Address Table/ { print $4 + 0; exit }')
  # The name table lists each name with its ordinal less the base.
  names=$(echo "$exports" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    awk -F'[][]' '/^\t\[/ { printf "%d %s;", $2 + 1, substr($3, 2) }')
  functions=$(echo "$imports" | awk '/^\t[0-9a-f]+\t/ { printf "%s ", $3 }')
else
  exports=$(echo "$tables" | sed -n '/^Export Table:/,$p')
  imports=$(echo "$tables" | sed -n '/^The Import Tables/,/^Export Table:/p')
  name=$(echo "$exports" | awk '$1 == "DLL" && $2 == "name:" { print $3 }')
  base=$(echo "$exports" | awk '$1 == "Ordinal" && $2 == "base:" { print $3; exit }')
  # Every slot of the address table is a row "ordinal RVA [name]", named or not, filled or not
  # (an empty one's RVA is 0).
  # shellcheck disable=SC2016 # an awk condition, for awk to expand
  slot='$1 ~ /^[0-9]+$/ && $2 ~ /^(0x[0-9a-f]+|0)$/'
  count=$(echo "$exports" | awk "$slot"' { n++ } END { print n + 0 }')
  names=$(echo "$exports" | awk "$slot"' && $3 != "" { printf "%d %s;", $1, $3 }')
  functions=$(echo "$imports" | sed -n '/Hint\/Ord/,/^$/p' |
    awk '$1 ~ /^[0-9]+$/ { printf "%s ", $2 }')
fi
echo "$exports"
echo "$imports"

failed=0
check() {
  if [ "$2" = "$3" ]; then
    echo "ok - $1"
  else
    echo "FAIL - $1: found '$2', expected '$3'"
    failed=$((failed + 1))
  fi
}

prefix=Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_
check "the DLL is for the platform's machine" \
  "$(echo "$tables" | awk '/file format/ { print $NF; exit }')" "$format"
check "the export table names the DLL" "$name" "windowsfscm.dll"
check "ordinals start at 1" "$base" "1"
check "three functions are exported" "$count" "3"
check "the names and their ordinals" "$names" \
  "1 ${prefix}nativeInit;2 ${prefix}nativeStop;3 ${prefix}nativeWaitForChange;"
check "the DLLs it imports from" \
  "$(echo "$imports" | awk '/DLL Name:/ { printf "%s;", $3 }')" "KERNEL32.dll;"
# The kernel services of a watch and the path's conversion, and nothing that allocates memory
# (platform/windows/kernel32.def lists the same for the ARM64 DLL's import library).
check "the functions it imports" "$functions" \
  "CloseHandle CreateEventA FindCloseChangeNotification FindFirstChangeNotificationW \
FindNextChangeNotification GetFullPathNameW MultiByteToWideChar SetEvent WaitForMultipleObjects "

echo "$((7 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
