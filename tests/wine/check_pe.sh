#!/usr/bin/env bash
# Checks that Tessaril.exe is a program Windows 2000 can load: a 32-bit x86
# GUI program whose header asks for no newer system than 5.0, importing only
# from KERNEL32, USER32, ADVAPI32 and msvcrt, and only functions listed here.
# Each one listed is exported by the Windows 2000 version of its DLL; a new
# import has to be added here on purpose.
#   check_pe.sh OBJDUMP EXE
set -uo pipefail
objdump=$1 exe=$2

allowed_ADVAPI32="AdjustTokenPrivileges LookupPrivilegeValueA OpenProcessToken
  RegCloseKey RegCreateKeyExA RegEnumKeyExA RegOpenKeyExA RegQueryValueExA RegSetValueExA"
allowed_USER32="ExitWindowsEx MessageBoxA"
# The program's own calls, then what the MinGW startup code and its static
# runtime use (critical sections, TLS, the module and unhandled-exception
# hooks, pseudo-relocations).
allowed_KERNEL32="CloseHandle CreateFileA DeleteFileA GetCurrentProcess GetSystemDirectoryA
  GetVersionExA GetWindowsDirectoryA WriteFile lstrcmpiA
  DeleteCriticalSection EnterCriticalSection FreeLibrary GetLastError GetModuleHandleA
  GetProcAddress GetStartupInfoA InitializeCriticalSection LeaveCriticalSection LoadLibraryA
  SetUnhandledExceptionFilter Sleep TlsGetValue VirtualProtect VirtualQuery"
# The C runtime of Windows 2000 (msvcrt.dll 6.x): startup, exit, heap,
# string functions, and the error output of the startup code.
allowed_msvcrt="__getmainargs __initenv __p__acmdln __p__commode __p__fmode __set_app_type
  __setusermatherr _amsg_exit _cexit _initterm _iob _onexit abort calloc exit fprintf free
  fwrite malloc memcpy memset signal strchr strlen strncmp strstr vfprintf"

dump=$("$objdump" -p "$exe") || { echo "cannot read $exe"; exit 1; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

header() { awk -v k="$1" '$1 == k { print $2; exit }' <<<"$dump"; }

grep -q 'file format pei-i386' <<<"$dump" || fail "not a 32-bit x86 PE file"
[ "$(header Magic)" = 010b ] || fail "optional header magic $(header Magic), want 010b (PE32)"
[ "$(header Subsystem)" = 00000002 ] || fail "subsystem $(header Subsystem), want 00000002 (Windows GUI)"
for pair in OSystem Subsystem; do
  major=$(header Major${pair}Version) minor=$(header Minor${pair}Version)
  if [ -z "$major" ] || [ $((major * 100 + minor)) -gt 500 ]; then
    fail "${pair} version ${major}.${minor}, want 5.0 or lower"
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
  case ${base^^} in
    KERNEL32) list=$allowed_KERNEL32 ;;
    USER32) list=$allowed_USER32 ;;
    ADVAPI32) list=$allowed_ADVAPI32 ;;
    MSVCRT) list=$allowed_msvcrt ;;
    *) fail "import from $dll ($function)"; continue ;;
  esac
  grep -qw -- "$function" <<<"$list" || fail "$dll!$function is not in the allowed list"
done <<<"$imports"
# Imports by ordinal have no name to check.
if grep -q '<none>' <<<"$dump"; then fail "import by ordinal"; fi

echo "$count imports checked"
[ $failures -eq 0 ] && echo "PE header and imports fit Windows 2000" || exit 1
