#!/bin/sh
# Checks the export and import tables of windowsfscm.dll as the Windows loader and the JVM see
# them: a DLL for the platform's machine, its own name, exactly the three entry points,
# undecorated, at ordinals 1 to 3, and imports from KERNEL32.dll alone.
# Usage: check_dll_tables.sh DLL windows-x86|windows-x86_64
set -u
dll=$1
case $2 in
windows-x86) objdump=i686-w64-mingw32-objdump format=pei-i386 ;;
windows-x86_64) objdump=x86_64-w64-mingw32-objdump format=pei-x86-64 ;;
*)
  echo "unknown platform $2: windows-x86 or windows-x86_64" >&2
  exit 2
  ;;
esac
tables=$("$objdump" -p "$dll") || exit 1

exports=$(echo "$tables" | sed -n '/^The Export Tables/,/^PE File Base Relocations/p')
imports=$(echo "$tables" | sed -n '/^The Import Tables/,/^The Export Tables/p')
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

check "the DLL is for the platform's machine" \
  "$(echo "$tables" | awk '/file format/ { print $NF; exit }')" "$format"
check "the export table names the DLL" \
  "$(echo "$exports" | awk '/^Name[ \t]/ { print $3 }')" "windowsfscm.dll"
check "ordinals start at 1" \
  "$(echo "$exports" | awk '$1 == "Ordinal" && $2 == "Base" { print $3; exit }')" "1"
check "three functions are exported" \
  "$(echo "$exports" | awk '/^\tExport Address Table/ { print $4 + 0; exit }')" "3"
# The name table lists each name with its ordinal less the base.
prefix=Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_
check "the names and their ordinals" \
  "$(echo "$exports" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    awk -F'[][]' '/^\t\[/ { printf "%d %s;", $2 + 1, substr($3, 2) }')" \
  "1 ${prefix}nativeInit;2 ${prefix}nativeStop;3 ${prefix}nativeWaitForChange;"
check "the DLLs it imports from" \
  "$(echo "$imports" | awk '/DLL Name:/ { printf "%s;", $3 }')" "KERNEL32.dll;"
# The kernel services of a watch and the path's conversion, and nothing that allocates memory.
check "the functions it imports" \
  "$(echo "$imports" | awk '/^\t[0-9a-f]+\t/ { printf "%s ", $3 }')" \
  "CloseHandle CreateEventA FindCloseChangeNotification FindFirstChangeNotificationW \
FindNextChangeNotification GetFullPathNameW MultiByteToWideChar SetEvent WaitForMultipleObjects "

echo "$((7 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
