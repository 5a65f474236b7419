#!/usr/bin/env bash
# Windows 2000 is declared to every compile of the Windows build, so that a
# call the system does not have fails at compile time. Reads the build's
# compile commands: each one must declare _WIN32_WINNT and WINVER 0x0500,
# and the command of the program's entry point must reject a call that came
# with Windows XP while it accepts one Windows 2000 has.
#   check_win2000_api.sh BUILD_DIR
set -uo pipefail
build=$1
db=$build/compile_commands.json
[ -f "$db" ] || { echo "no $db"; exit 1; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

commands=$(sed -n 's/^ *"command": "\(.*\)",\{0,1\}$/\1/p' "$db")
count=$(grep -c . <<<"$commands")
[ "$count" -ge 2 ] || fail "only $count compile commands found"
while read -r command; do
  source=${command##* }
  grep -q -- '-D_WIN32_WINNT=0x0500' <<<"$command" || fail "$source: no _WIN32_WINNT=0x0500"
  grep -q -- '-DWINVER=0x0500' <<<"$command" || fail "$source: no WINVER=0x0500"
done <<<"$commands"

entry=$(grep 'main_windows\.cpp$' <<<"$commands" | head -n1)
[ -n "$entry" ] || { fail "no compile command for the entry point"; exit 1; }
entry_dir=$(grep -B1 '"command": .*main_windows\.cpp"' "$db" | sed -n 's/^ *"directory": "\(.*\)",$/\1/p')
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
compile() {
  printf '#include <windows.h>\nint probe(void) { %s }\n' "$1" >"$probe_dir/probe.cpp"
  # The entry point's command, on the probe, syntax only.
  local command=${entry% -c *}
  (cd "$entry_dir" && eval "$command -fsyntax-only -c $probe_dir/probe.cpp") >"$probe_dir/out" 2>&1
}
compile 'OSVERSIONINFOA v; v.dwOSVersionInfoSize = sizeof v; return GetVersionExA(&v);' ||
  { fail "a Windows 2000 call does not compile"; cat "$probe_dir/out"; }
if compile 'return (int)WTSGetActiveConsoleSessionId();'; then
  fail "a Windows XP call (WTSGetActiveConsoleSessionId) compiles"
elif ! grep -q 'WTSGetActiveConsoleSessionId' "$probe_dir/out"; then
  fail "the Windows XP probe failed for another reason"; cat "$probe_dir/out"
fi
echo "$count compile commands declare Windows 2000"
[ $failures -eq 0 ] || exit 1
