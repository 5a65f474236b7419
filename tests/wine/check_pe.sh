#!/usr/bin/env bash
# Checks that Tessaril.exe is a program every 32-bit Windows loads, so that
# Windows 95, 98, ME and NT 4.0 show the box saying the wizard runs only on
# Windows 2000 and XP: a 32-bit x86 GUI program whose header asks for
# system and subsystem version 4.0 exactly, importing only from KERNEL32,
# USER32, ADVAPI32 and msvcrt, and only functions listed below with the
# oldest systems that export them. A function that Windows 98 or NT 4.0
# does not export is refused, listed or not: their loaders would refuse the
# whole file. A new import has to be added here on purpose.
#   check_pe.sh OBJDUMP EXE
set -uo pipefail
objdump=$1 exe=$2

# DLL, function, the oldest Windows 9x and the oldest Windows NT that export
# it ("-": none). Source: the Win32 function reference of the MSDN Library
# (Platform SDK, June 1998 edition), each function's QuickInfo ("Windows NT:
# Requires version 3.1 or later. Windows: Requires Windows 95 or later.").
# The token functions are "Unsupported" on Windows 95 and 98, which the same
# Library's "Windows 95 General Limitations" explains: Windows 95 exports
# stub routines for the security functions, which fail when called (the
# restart calls them only on NT). The C runtime: the Visual C++ run-time
# library reference in that Library (Compatibility: ANSI, Win 95, Win NT),
# and msvcrt.dll itself, which came with Visual C++ 4.2 and is part of
# Windows NT 4.0 and Windows 98; Windows 95 has it only from later updates,
# hence "95+". The startup entries (__getmainargs and the other __ names)
# are what the startup code of that runtime calls, exported since 4.2.
imports_known=$(cat <<'LIST'
ADVAPI32 AdjustTokenPrivileges 95 3.1
ADVAPI32 LookupPrivilegeValueA 95 3.1
ADVAPI32 OpenProcessToken 95 3.1
ADVAPI32 RegCloseKey 95 3.1
ADVAPI32 RegCreateKeyExA 95 3.1
ADVAPI32 RegEnumKeyExA 95 3.1
ADVAPI32 RegOpenKeyExA 95 3.1
ADVAPI32 RegQueryValueExA 95 3.1
ADVAPI32 RegSetValueExA 95 3.1
USER32 ExitWindowsEx 95 3.1
USER32 MessageBoxA 95 3.1
KERNEL32 CloseHandle 95 3.1
KERNEL32 CreateFileA 95 3.1
KERNEL32 DeleteFileA 95 3.1
KERNEL32 GetCurrentProcess 95 3.1
KERNEL32 GetSystemDirectoryA 95 3.1
KERNEL32 GetVersionExA 95 3.5
KERNEL32 GetWindowsDirectoryA 95 3.1
KERNEL32 WriteFile 95 3.1
KERNEL32 IsDBCSLeadByte 95 3.1
KERNEL32 lstrcmpiA 95 3.1
KERNEL32 DeleteCriticalSection 95 3.1
KERNEL32 EnterCriticalSection 95 3.1
KERNEL32 FreeLibrary 95 3.1
KERNEL32 GetLastError 95 3.1
KERNEL32 GetModuleHandleA 95 3.1
KERNEL32 GetProcAddress 95 3.1
KERNEL32 GetStartupInfoA 95 3.1
KERNEL32 InitializeCriticalSection 95 3.1
KERNEL32 LeaveCriticalSection 95 3.1
KERNEL32 LoadLibraryA 95 3.1
KERNEL32 SetUnhandledExceptionFilter 95 3.1
KERNEL32 Sleep 95 3.1
KERNEL32 TlsGetValue 95 3.1
KERNEL32 VirtualProtect 95 3.1
KERNEL32 VirtualQuery 95 3.1
KERNEL32 IsWow64Process - XP
KERNEL32 Wow64DisableWow64FsRedirection - XP
KERNEL32 Wow64RevertWow64FsRedirection - XP
MSVCRT __getmainargs 95+ 4.0
MSVCRT __initenv 95+ 4.0
MSVCRT __p__acmdln 95+ 4.0
MSVCRT __p__commode 95+ 4.0
MSVCRT __p__fmode 95+ 4.0
MSVCRT __set_app_type 95+ 4.0
MSVCRT __setusermatherr 95+ 4.0
MSVCRT _amsg_exit 95+ 4.0
MSVCRT _cexit 95+ 4.0
MSVCRT _initterm 95+ 4.0
MSVCRT _iob 95+ 4.0
MSVCRT _onexit 95+ 4.0
MSVCRT abort 95+ 4.0
MSVCRT calloc 95+ 4.0
MSVCRT exit 95+ 4.0
MSVCRT fprintf 95+ 4.0
MSVCRT free 95+ 4.0
MSVCRT fwrite 95+ 4.0
MSVCRT malloc 95+ 4.0
MSVCRT memchr 95+ 4.0
MSVCRT memcpy 95+ 4.0
MSVCRT memset 95+ 4.0
MSVCRT signal 95+ 4.0
MSVCRT strchr 95+ 4.0
MSVCRT strlen 95+ 4.0
MSVCRT strncmp 95+ 4.0
MSVCRT strstr 95+ 4.0
MSVCRT vfprintf 95+ 4.0
LIST
)
# (The three WOW64 functions are listed so that importing them is refused
# with the reason; the program looks them up at run time instead.)

dump=$("$objdump" -p "$exe") || { echo "cannot read $exe"; exit 1; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

header() { awk -v k="$1" '$1 == k { print $2; exit }' <<<"$dump"; }

grep -q 'file format pei-i386' <<<"$dump" || fail "not a 32-bit x86 PE file"
[ "$(header Magic)" = 010b ] || fail "optional header magic $(header Magic), want 010b (PE32)"
[ "$(header Subsystem)" = 00000002 ] || fail "subsystem $(header Subsystem), want 00000002 (Windows GUI)"
for pair in OSystem Subsystem; do
  major=$(header Major${pair}Version) minor=$(header Minor${pair}Version)
  if [ "$major" != 4 ] || [ "$minor" != 0 ]; then
    fail "${pair} version ${major}.${minor}, want 4.0 (Windows 95 and NT 4.0 refuse anything newer)"
  fi
done

# The import table: "DLL Name: X" followed by "hint name" rows.
imports=$(awk '
  /^\tDLL Name: / { dll = $3; next }
  dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print dll, $3; next }
  dll != "" && /^$/ { dll = "" }' <<<"$dump")
[ -n "$imports" ] || fail "no imports found"
count=0
while read -r dll function; do
  count=$((count + 1))
  base=${dll%.*}
  read -r _ _ oldest9x oldestNT < <(awk -v d="${base^^}" -v f="$function" \
    '$1 == d && $2 == f { print; exit }' <<<"$imports_known")
  if [ -z "${oldestNT:-}" ]; then
    fail "$dll!$function is not in the list of known imports"
    continue
  fi
  case $oldest9x in 95 | 95+ | 98) ;; *) fail "$dll!$function: Windows 98 does not export it (9x: $oldest9x)" ;; esac
  case $oldestNT in 3.1 | 3.5 | 3.51 | 4.0) ;; *) fail "$dll!$function: NT 4.0 does not export it (NT: $oldestNT)" ;; esac
  oldestNT=
done <<<"$imports"
# Imports by ordinal have no name to check.
if grep -q '<none>' <<<"$dump"; then fail "import by ordinal"; fi

echo "$count imports checked"
[ $failures -eq 0 ] && echo "PE header and imports fit Windows 95 (with msvcrt.dll), 98, ME and NT 4.0" || exit 1
