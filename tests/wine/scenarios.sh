# Scenarios for harness.sh: each seeds a copy of the prepared prefix, runs
# Tessaril.exe with the box helper answering, and then checks every box in
# order, the exit code, the log's exact bytes, the registry, and whether a
# restart was requested. Sourced by harness.sh, which provides wine_run,
# $dir (this scenario's folder) and WINEPREFIX.

CLASS='HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}'
SERVICES='HKLM\SYSTEM\CurrentControlSet\Services'

# Box texts as the helper's script and transcript spell them.
CONFIRM='Tessaril is ready to perform the registry checking and repair.\n\n\t Would you like to continue.?'
RESTART='You must restart your system for the configuration changes made to UpperFilter & LowerFilter to take effect.\n\n\t\tClick Yes to restart now or No if you plan to restart later'
UNSUPPORTED='This utility will run only in Windows 2000 and in Windows XP'
NO_CLASS_KEY='Cannot open the Filter Key'

drive_c=$WINEPREFIX/drive_c
log_file=$drive_c/windows/temp/Tessaril.log
tool_dir=$drive_c/tessaril
failures=0
boxes=0
: >"$dir/script.txt"
: >"$dir/expected-transcript.txt"
: >"$dir/expected-calls.txt"

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# --- seeding --------------------------------------------------------------

windows_version() {
  wine_run reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null
}

driver_files() {
  local name
  for name in "$@"; do
    printf 'test driver %s\n' "$name" >"$drive_c/windows/system32/drivers/$name.sys"
  done
}

reg_add() {
  wine_run reg add "$@" /f >/dev/null || { echo "cannot seed the registry: $*"; exit 1; }
}

old_log() {
  printf '%s\r\n' "$1" >"$log_file"
  cp "$log_file" "$dir/old.log"
}

# --- keys and files out of reach -------------------------------------------

# DACLs for key_dacl. KEY_ALL_ACCESS is 0xf003f.
DENY_EVERYONE='D:(D;;0xf003f;;;WD)'
ALLOW_EVERYONE='D:(A;;0xf003f;;;WD)'

# locker ARGS...: the locker helper, run in this scenario's wineserver.
locker() {
  mkdir -p "$tool_dir"
  cp "$TESSARIL_LOCKER" "$tool_dir/locker.exe"
  wine_run 'C:\tessaril\locker.exe' "$@"
}

# key_dacl KEY SDDL: gives the existing KEY (HKLM\...) the DACL of SDDL. Wine
# keeps it only while this scenario's wineserver runs, which is long enough.
key_dacl() {
  locker dacl "${1#HKLM\\}" "$2" || { echo "cannot set the DACL of $1"; exit 1; }
}

# hold_file PATH: another process holds the file at the Windows PATH open,
# sharing it with no one, until release_file.
hold_file() {
  rm -f "$tool_dir/held" "$tool_dir/release"
  locker hold "$1" 'C:\tessaril\held' 'C:\tessaril\release' >"$dir/locker.out" 2>&1 &
  locker_pid=$!
  while [ ! -e "$tool_dir/held" ]; do
    if ! kill -0 "$locker_pid" 2>/dev/null; then
      cat "$dir/locker.out"
      echo "the locker could not hold $1"
      exit 1
    fi
    sleep 0.05
  done
}

release_file() {
  : >"$tool_dir/release"
  if ! wait "$locker_pid"; then
    cat "$dir/locker.out"
    fail "the locker let go of the file before the run ended"
  fi
}

# box ANSWER TEXT: the next box must show TEXT; the helper presses ANSWER.
# Every Yes/No box of the program is a question (MB_YESNO | MB_ICONQUESTION)
# and every OK box an error (MB_OK | MB_ICONERROR), without an owner window
# and with the program's caption.
box() {
  boxes=$((boxes + 1))
  local buttons="yes no" style=00000024
  [ "$1" = ok ] && buttons=ok style=00000010
  printf '%s\t%s\n' "$1" "$2" >>"$dir/script.txt"
  printf 'box %d: %s\nbuttons %d: %s\npressed %d: %s\n' \
    "$boxes" "$2" "$boxes" "$buttons" "$boxes" "$1" >>"$dir/expected-transcript.txt"
  printf 'MessageBoxA owner 0, caption "Tessaril Wizard", style %s\n' "$style" >>"$dir/expected-calls.txt"
}

# --- the run ----------------------------------------------------------------

# run_wizard [PICTURE...]: runs the program with the helper answering the
# boxes of the script. With pictures, one per box ("-" for none), each box
# is held on the screen and photographed before it is answered.
run_wizard() {
  mkdir -p "$tool_dir"
  cp "$TESSARIL_EXE" "$tool_dir/Tessaril.exe"
  cp "$TESSARIL_BOXBOT" "$tool_dir/boxbot.exe"
  cp "$dir/script.txt" "$tool_dir/script.txt"
  local hold=()
  if [ $# -gt 0 ]; then
    rm -rf "$tool_dir/hold"
    mkdir "$tool_dir/hold"
    hold=('C:\tessaril\hold')
  fi
  echo "running $(basename "$TESSARIL_EXE") ($TESSARIL_WINEARCH) in $WINEPREFIX on $DISPLAY"
  local status=0
  WINEDEBUG=-all,+relay wine_run 'C:\tessaril\boxbot.exe' 'C:\tessaril\script.txt' \
    'C:\tessaril\transcript.txt' 'C:\tessaril\Tessaril.exe' "${hold[@]}" \
    >"$dir/helper.out" 2>"$dir/trace.txt" &
  local helper=$!
  [ $# -eq 0 ] || take_pictures "$helper" "$@"
  wait "$helper" || status=$?
  [ $status -eq 0 ] || fail "box helper exited with $status"
  printf 'exit code: 0\n' >>"$dir/expected-transcript.txt"
  if ! diff -u "$dir/expected-transcript.txt" "$tool_dir/transcript.txt"; then
    fail "boxes or exit code differ from the expected ones (diff above: - expected, + seen)"
  fi
  # The helper sees the text and the buttons; the owner, the caption and the
  # icon are read from the trace of the calls that made the boxes.
  sed -n 's/^[0-9a-f]*:Call user32\.MessageBoxA(\([0-9a-f]*\),[0-9a-f]* ".*",[0-9a-f]* "\(.*\)",\([0-9a-f]*\)) ret=.*/\1\t\2\t\3/p' \
    "$dir/trace.txt" |
    while IFS=$'\t' read -r owner caption style; do
      printf 'MessageBoxA owner %s, caption "%s", style %s\n' "$((16#$owner))" "$caption" "$(dword "$style")"
    done >"$dir/calls.txt"
  if ! diff -u "$dir/expected-calls.txt" "$dir/calls.txt"; then
    fail "the boxes' owner, caption or style differ (diff above: - expected, + called)"
  fi
}

# take_pictures HELPER PICTURE...: for each box the helper holds, crops its
# rectangle out of the screen into the next PICTURE (a small PNG), then lets
# the helper go on.
take_pictures() {
  local helper=$1 number=0 picture request left top right bottom
  shift
  for picture in "$@"; do
    number=$((number + 1))
    request=$tool_dir/hold/box-$number.txt
    while [ ! -s "$request" ]; do
      kill -0 "$helper" 2>/dev/null || { fail "box $number never came up for its picture"; return; }
      sleep 0.1
    done
    read -r left top right bottom <"$request"
    if [ "$picture" != - ]; then
      # Wine hands what it drew to the X server a moment later.
      sleep 0.5
      import -display "$DISPLAY" -window root -crop "$((right - left))x$((bottom - top))+$left+$top" \
        +repage -strip -colors 16 "PNG8:$picture" || fail "no picture of box $number"
      # A box has its face, frame, caption and text: a blank grab has not.
      local colours
      colours=$(identify -format %k "$picture" 2>/dev/null || echo 0)
      [ "$colours" -gt 3 ] || fail "the picture of box $number has $colours colours: nothing drawn"
      # Its caption as the box in front has it, not the grey of an inactive one.
      local caption
      caption=$(identify -format "%[pixel:p{$((right - left - 40)),10}]" "$picture" 2>/dev/null || echo none)
      case $caption in
        *'(128,128,128)'* | none) fail "the picture of box $number shows an inactive caption ($caption)" ;;
      esac
      echo "box $number: $picture ($((right - left))x$((bottom - top)), $colours colours)"
    fi
    rm -f "$request"
  done
}

# Starts the next run in the same prefix and on the same display.
next_run() {
  boxes=0
  : >"$dir/script.txt"
  : >"$dir/expected-transcript.txt"
  : >"$dir/expected-calls.txt"
}

# --- checks -----------------------------------------------------------------

show_bytes() { od -An -c "$1" | sed 's/^/    /'; }

# dword HEX: an argument of type DWORD as the relay trace shows it. 64-bit
# Wine prints whole 64-bit slots, whose upper half a DWORD leaves undefined.
dword() { printf '%08x' $((16#$1 & 0xffffffff)); }

# expect_log MESSAGE...: the log holds exactly these entries, each stored as
# the message, an empty line, and the message again, with CR LF line ends.
expect_log() {
  local message
  : >"$dir/expected.log"
  for message in "$@"; do
    printf '%s\r\n\r\n%s\r\n' "$message" "$message" >>"$dir/expected.log"
  done
  if [ ! -f "$log_file" ]; then
    fail "no log file at C:\\windows\\temp\\Tessaril.log"
  elif ! cmp -s "$dir/expected.log" "$log_file"; then
    fail "log bytes differ"
    echo "  expected:"; show_bytes "$dir/expected.log"
    echo "  found:"; show_bytes "$log_file"
  fi
}

expect_log_untouched() {
  cmp -s "$dir/old.log" "$log_file" || { fail "the old log was changed"; show_bytes "$log_file"; }
}

# reg query output, one line per key or value: CRs and blank lines dropped,
# "HKLM" for the root, value fields separated by one space.
query() {
  wine_run reg query "$@" 2>/dev/null | tr -d '\r' | sed -e '/^$/d' \
    -e 's/^HKEY_LOCAL_MACHINE/HKLM/' -e 's/^    //' -e 's/    / /g' -e 's/ *$//'
}

# expect_key KEY [/s] <<EOF ... EOF: reg query of KEY gives exactly these lines.
expect_key() {
  local expected actual
  expected=$(cat)
  if ! actual=$(query "$@"); then
    fail "key $1 is missing"
    return
  fi
  if [ "$expected" != "$actual" ]; then
    fail "key $1 differs"
    diff -u <(echo "$expected") <(echo "$actual") | sed 's/^/    /' || true
  fi
}

expect_no_key() {
  if wine_run reg query "$1" >/dev/null 2>&1; then
    fail "key $1 exists"
    query "$1" | sed 's/^/    /' || true
  fi
}

# The relay trace of user32.ExitWindowsEx shows the restart request, its
# flags (EWX_REBOOT, reason 0) and that Wine accepted it.
expect_restart() {
  grep -q 'trace:relay:load_list L"RelayInclude" = L"[^"]*user32.ExitWindowsEx' "$dir/trace.txt" ||
    fail "the relay trace of ExitWindowsEx was not active"
  local calls
  calls=$(grep -c 'Call user32\.ExitWindowsEx(' "$dir/trace.txt" || true)
  case $1 in
  requested)
    [ "$calls" = 1 ] || fail "ExitWindowsEx called $calls times, want once"
    grep -q 'Call user32\.ExitWindowsEx(00000002,00000000)' "$dir/trace.txt" ||
      fail "ExitWindowsEx not called with EWX_REBOOT and reason 0"
    grep -q 'Ret  user32\.ExitWindowsEx() retval=00000001' "$dir/trace.txt" ||
      fail "ExitWindowsEx did not accept the request"
    ;;
  not_requested)
    [ "$calls" = 0 ] || fail "ExitWindowsEx was called"
    ;;
  esac
}

# A passed scenario keeps its transcript, trace and logs but not its copy of
# the prefix (several hundred megabytes); a failed one keeps everything.
finish() {
  if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed; files in $dir"
    exit 1
  fi
  cp -p "$tool_dir/transcript.txt" "$dir/transcript.txt"
  [ ! -f "$log_file" ] || cp -p "$log_file" "$dir/Tessaril.log"
  "$TESSARIL_WINESERVER" -k >/dev/null 2>&1 || true
  "$TESSARIL_WINESERVER" -w >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  echo "all checks passed"
}

# Expected keys of the service keys the tool creates.
expect_created_gravle2k() {
  expect_key "$SERVICES\\Gravle2k" /s <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Services\Gravle2k
Enabled REG_DWORD 0x1
ErrorControl REG_DWORD 0x0
Group REG_SZ Filter
Start REG_DWORD 0x1
Tag REG_DWORD 0x6
Type REG_DWORD 0x1
HKLM\SYSTEM\CurrentControlSet\Services\Gravle2k\Parameters
ExcludeMiniports REG_SZ
EOF
}

expect_created_kvt_2k() {
  expect_key "$SERVICES\\kvt_2k" /s <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Services\kvt_2k
ErrorControl REG_DWORD 0x0
Group REG_SZ Filter
Start REG_DWORD 0x1
Tag REG_DWORD 0x6
Type REG_DWORD 0x1
EOF
}

# expect_created_lower NAME: Mbx7_2k or Mbx7_xp, both with ErrorControl 1.
expect_created_lower() {
  expect_key "$SERVICES\\$1" /s <<EOF
HKLM\\SYSTEM\\CurrentControlSet\\Services\\$1
Enabled REG_DWORD 0x1
ErrorControl REG_DWORD 0x1
Group REG_SZ Filter
Start REG_DWORD 0x1
Tag REG_DWORD 0x6
Type REG_DWORD 0x1
EOF
}

# The one opening of the class key: in HKEY_LOCAL_MACHINE, no class,
# REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, no security attributes; refused
# with ERROR_ACCESS_DENIED (5).
expect_class_key_refused() {
  local path='"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E965-E325-11CE-BFC1-08002BE10318}"'
  local call ret
  call=$(grep -F "$path" "$dir/trace.txt" | grep ':Call [A-Za-z0-9]*\.RegCreateKeyExA(' || true)
  if [ "$(printf '%s' "$call" | grep -c .)" != 1 ]; then
    fail "the class key was not opened once with RegCreateKeyExA"
    printf '%s\n' "$call" | sed 's/^/    /'
    return
  fi
  local root= args=
  [[ ${call%%"$path"*} =~ RegCreateKeyExA\(([0-9a-f]+),[0-9a-f]+\ $ ]] &&
    root=$(dword "${BASH_REMATCH[1]}")
  # Reserved, class, options, access, security attributes.
  if [[ ${call#*"$path"} =~ ^,([0-9a-f]+),([0-9a-f]+),([0-9a-f]+),([0-9a-f]+),([0-9a-f]+), ]]; then
    args="$(dword "${BASH_REMATCH[1]}") $((16#${BASH_REMATCH[2]})) $(dword "${BASH_REMATCH[3]}")"
    args+=" $(dword "${BASH_REMATCH[4]}") $((16#${BASH_REMATCH[5]}))"
  fi
  [ "$root $args" = "80000002 00000000 0 00000000 000f003f 0" ] ||
    fail "the class key was opened otherwise: $call"
  # The next traced line of the same thread is its return.
  ret=$(grep "^${call%%:*}:" "$dir/trace.txt" | grep -A1 -F -x "$call" | sed -n 2p)
  [[ $ret == *":Ret  "*".RegCreateKeyExA() retval=00000005 "* ]] ||
    fail "opening the class key did not fail with 5: $ret"
}

# --- scenarios --------------------------------------------------------------

# The log and the class key of an XP run that set up all three drivers on
# empty filter lists.
expect_xp_lists_set_up() {
  expect_log \
    "Operating System = Windows XP" \
    "After create Gravle2k in UpperFilters values: Gravle2k" \
    "Before create kvt_2k in UpperFilters values: Gravle2k" \
    "After create kvt_2k in UpperFilters values: Gravle2k|kvt_2k" \
    "After create Mbx7_xp in LowerFilters values: Mbx7_xp"
  expect_key "$CLASS" <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}
LowerFilters REG_MULTI_SZ Mbx7_xp
UpperFilters REG_MULTI_SZ Gravle2k\0kvt_2k
EOF
}

# A Windows XP machine that never had the drivers registered: the class key
# is created, the three service keys are created, the filters set, and the
# user restarts.
scenario_xp_fresh() { xp_fresh winxp; }

xp_fresh() {
  windows_version "$1"
  driver_files Gravle2k kvt_2k Mbx7_xp
  box yes "$CONFIRM"
  box yes "$RESTART"
  run_wizard
  expect_xp_lists_set_up
  expect_created_gravle2k
  expect_created_kvt_2k
  expect_created_lower Mbx7_xp
  expect_no_key "$SERVICES\\Mbx7_2k"
  expect_restart requested
}

# Windows 2000 takes the other lower filter, although both files are there.
scenario_windows_2000() {
  windows_version win2k
  driver_files Gravle2k kvt_2k Mbx7_2k Mbx7_xp
  box yes "$CONFIRM"
  box no "$RESTART"
  run_wizard
  expect_log \
    "Operating System = Windows 2K" \
    "After create Gravle2k in UpperFilters values: Gravle2k" \
    "Before create kvt_2k in UpperFilters values: Gravle2k" \
    "After create kvt_2k in UpperFilters values: Gravle2k|kvt_2k" \
    "After create Mbx7_2k in LowerFilters values: Mbx7_2k"
  expect_key "$CLASS" <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}
LowerFilters REG_MULTI_SZ Mbx7_2k
UpperFilters REG_MULTI_SZ Gravle2k\0kvt_2k
EOF
  expect_created_gravle2k
  expect_created_kvt_2k
  expect_created_lower Mbx7_2k
  expect_no_key "$SERVICES\\Mbx7_xp"
  expect_restart not_requested
}

# Filter lists holding registered filters of other products next to stale,
# garbage and old entries of these drivers: only the registered ones of
# more than two characters without "?" and without the driver's name stay,
# in their order and spelling, the service lookup ignoring case.
scenario_stale_and_garbage_entries() {
  windows_version winxp
  driver_files Gravle2k kvt_2k Mbx7_xp
  reg_add "$SERVICES\\Redbook" /v Start /t REG_DWORD /d 3
  reg_add "$SERVICES\\PxHlpa" /v Start /t REG_DWORD /d 1
  reg_add "$SERVICES\\ab" /v Start /t REG_DWORD /d 3
  reg_add "$SERVICES\\is?o" /v Start /t REG_DWORD /d 3
  reg_add "$SERVICES\\Gravle2kOld" /v Start /t REG_DWORD /d 3
  reg_add "$SERVICES\\cdr4_xp" /v Start /t REG_DWORD /d 1
  reg_add "$CLASS" /v UpperFilters /t REG_MULTI_SZ /d 'Redbook\0ghost\0ab\0is?o\0GRAVLE2K\0Gravle2kOld\0pxhlpa'
  reg_add "$CLASS" /v LowerFilters /t REG_MULTI_SZ /d 'PxHelp20\0cdr4_xp'
  reg_add "$CLASS" /v Class /t REG_SZ /d CDROM
  box yes "$CONFIRM"
  box no "$RESTART"
  run_wizard
  expect_log \
    "Operating System = Windows XP" \
    "Before create Gravle2k in UpperFilters values: Redbook|ghost|ab|is?o|GRAVLE2K|Gravle2kOld|pxhlpa" \
    "After create Gravle2k in UpperFilters values: Redbook|pxhlpa|Gravle2k" \
    "Before create kvt_2k in UpperFilters values: Redbook|pxhlpa|Gravle2k" \
    "After create kvt_2k in UpperFilters values: Redbook|pxhlpa|Gravle2k|kvt_2k" \
    "Before create Mbx7_xp in LowerFilters values: PxHelp20|cdr4_xp" \
    "After create Mbx7_xp in LowerFilters values: cdr4_xp|Mbx7_xp"
  expect_key "$CLASS" <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}
Class REG_SZ CDROM
LowerFilters REG_MULTI_SZ cdr4_xp\0Mbx7_xp
UpperFilters REG_MULTI_SZ Redbook\0pxhlpa\0Gravle2k\0kvt_2k
EOF
  expect_created_gravle2k
  expect_restart not_requested
}

# Only one of the three files is installed (and the Windows 2000 lower
# filter, which XP does not use): the two missing drivers are reported and
# left alone, the old log is replaced, and the restart is still offered.
scenario_missing_driver_files() {
  windows_version winxp
  driver_files kvt_2k Mbx7_2k
  old_log "Operating System = Windows 2K"
  box yes "$CONFIRM"
  box no "$RESTART"
  run_wizard
  expect_log \
    "Operating System = Windows XP" \
    "Fail - Missing Gravle2k" \
    "After create kvt_2k in UpperFilters values: kvt_2k" \
    "Fail - Missing Mbx7_xp"
  expect_key "$CLASS" <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}
UpperFilters REG_MULTI_SZ kvt_2k
EOF
  expect_created_kvt_2k
  expect_no_key "$SERVICES\\Gravle2k"
  expect_no_key "$SERVICES\\Mbx7_xp"
  expect_no_key "$SERVICES\\Mbx7_2k"
  expect_restart not_requested
}

# No at the first box: nothing is touched, not even the old log.
scenario_declined_at_first_box() {
  windows_version winxp
  driver_files Gravle2k kvt_2k Mbx7_xp
  old_log "Operating System = Windows XP"
  box no "$CONFIRM"
  run_wizard
  expect_log_untouched
  expect_no_key "$CLASS"
  expect_no_key "$SERVICES\\Gravle2k"
  expect_no_key "$SERVICES\\kvt_2k"
  expect_no_key "$SERVICES\\Mbx7_xp"
  expect_restart not_requested
}

unsupported() {
  windows_version "$1"
  driver_files Gravle2k kvt_2k Mbx7_xp Mbx7_2k
  old_log "Operating System = Windows XP"
  box yes "$CONFIRM"
  box ok "$UNSUPPORTED"
  run_wizard
  expect_log_untouched
  expect_no_key "$CLASS"
  expect_no_key "$SERVICES\\Gravle2k"
  expect_no_key "$SERVICES\\kvt_2k"
  expect_no_key "$SERVICES\\Mbx7_xp"
  expect_no_key "$SERVICES\\Mbx7_2k"
  expect_restart not_requested
}

# An NT system newer than XP, and a Windows 9x system: refused after the
# first box, with nothing changed.
scenario_unsupported_vista() { unsupported vista; }
scenario_unsupported_win98() { unsupported win98; }
scenario_unsupported_nt40() { unsupported nt40; }

# 64-bit XP and Server 2003 (5.2, counted as XP) run the 32-bit program
# under WOW64. The drivers stand only in the native system32\drivers, where
# a 64-bit system keeps them; the 32-bit view of that folder (syswow64 in
# Wine) holds none of them. The run must be the one of 32-bit XP.
wow64_xp_fresh() {
  [ -d "$drive_c/windows/syswow64" ] || { echo "not a 64-bit prefix: no C:\windows\syswow64"; exit 1; }
  local name
  for name in Gravle2k kvt_2k Mbx7_xp; do
    rm -f "$drive_c/windows/syswow64/drivers/$name.sys"
  done
  xp_fresh "$1"
  for name in Gravle2k kvt_2k Mbx7_xp; do
    [ ! -e "$drive_c/windows/syswow64/drivers/$name.sys" ] ||
      fail "$name.sys turned up in the 32-bit drivers folder"
  done
}
scenario_wow64_winxp64() { wow64_xp_fresh winxp64; }
scenario_wow64_win2003() { wow64_xp_fresh win2003; }

# Windows Server 2003 (5.2) counts as XP. Service keys that exist, however
# incomplete, are left exactly as they are; the missing one is created.
scenario_existing_service_keys_win2003() {
  windows_version win2003
  driver_files Gravle2k kvt_2k Mbx7_xp
  reg_add "$SERVICES\\Gravle2k" /v Start /t REG_DWORD /d 3
  reg_add "$SERVICES\\kvt_2k"
  box yes "$CONFIRM"
  box yes "$RESTART"
  run_wizard
  expect_xp_lists_set_up
  expect_key "$SERVICES\\Gravle2k" /s <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Services\Gravle2k
Start REG_DWORD 0x3
EOF
  # (Wine's reg add gives a key made without /v an empty default value.)
  expect_key "$SERVICES\\kvt_2k" /s <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Services\kvt_2k
(Default) REG_SZ
EOF
  expect_created_lower Mbx7_xp
  expect_restart requested
}

# The class key is there but its DACL keeps the program out: the open with
# KEY_ALL_ACCESS is refused, the program says so in the log and in a box
# and stops, with nothing else touched and no restart offered. (A missing
# class key under a parent that refuses KEY_CREATE_SUB_KEY is the same
# failure on Windows, but Wine does not check the parent's rights when only
# the last key of the path is missing, so it cannot be shown here.)
class_key_denied() {
  windows_version winxp
  driver_files Gravle2k kvt_2k Mbx7_xp
  reg_add "$CLASS" /v UpperFilters /t REG_MULTI_SZ /d ghost
  key_dacl "$CLASS" "$1"
  box yes "$CONFIRM"
  box ok "$NO_CLASS_KEY"
  run_wizard
  expect_log \
    "Operating System = Windows XP" \
    'Fail - Cannot create HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}'
  expect_class_key_refused
  # reg query may be kept out too: the key is read back without its DACL.
  key_dacl "$CLASS" "$ALLOW_EVERYONE"
  expect_key "$CLASS" <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}
UpperFilters REG_MULTI_SZ ghost
EOF
  expect_no_key "$SERVICES\\Gravle2k"
  expect_no_key "$SERVICES\\kvt_2k"
  expect_no_key "$SERVICES\\Mbx7_xp"
  expect_restart not_requested
}
scenario_class_key_denied_to_everyone() { class_key_denied "$DENY_EVERYONE"; }
# Administrators (the user of a Wine prefix is one) may do everything but set
# values (KEY_SET_VALUE, 2): that alone refuses KEY_ALL_ACCESS.
scenario_class_key_values_denied_to_administrators() {
  class_key_denied 'D:(D;;0x2;;;BA)(A;;0xf003f;;;WD)'
}

# Another program holds kvt_2k.sys open and shares it with no one: the file
# cannot be opened for reading, so it counts as missing; the other two
# drivers are set up and the restart is offered.
scenario_driver_file_held_open() {
  windows_version winxp
  driver_files Gravle2k kvt_2k Mbx7_xp
  hold_file 'C:\windows\system32\drivers\kvt_2k.sys'
  box yes "$CONFIRM"
  box yes "$RESTART"
  run_wizard
  release_file
  expect_log \
    "Operating System = Windows XP" \
    "After create Gravle2k in UpperFilters values: Gravle2k" \
    "Fail - Missing kvt_2k" \
    "After create Mbx7_xp in LowerFilters values: Mbx7_xp"
  expect_key "$CLASS" <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}
LowerFilters REG_MULTI_SZ Mbx7_xp
UpperFilters REG_MULTI_SZ Gravle2k
EOF
  expect_created_gravle2k
  expect_created_lower Mbx7_xp
  expect_no_key "$SERVICES\\kvt_2k"
  expect_restart requested
}

# kvt_2k's service key is there but keeps everyone out: it can neither be
# opened nor written, both failures are logged and the run goes on. Its
# entry in UpperFilters stays: the lookup that cannot open the key finds its
# name among the services.
scenario_service_key_denied() {
  windows_version winxp
  driver_files Gravle2k kvt_2k Mbx7_xp
  reg_add "$SERVICES\\kvt_2k" /v Start /t REG_DWORD /d 3
  reg_add "$CLASS" /v UpperFilters /t REG_MULTI_SZ /d kvt_2k
  key_dacl "$SERVICES\\kvt_2k" "$DENY_EVERYONE"
  box yes "$CONFIRM"
  box no "$RESTART"
  run_wizard
  expect_log \
    "Operating System = Windows XP" \
    "Before create Gravle2k in UpperFilters values: kvt_2k" \
    "After create Gravle2k in UpperFilters values: kvt_2k|Gravle2k" \
    "Failed - Can't create Service keys" \
    "Fail - Missing Service Key for kvt_2k" \
    "After create Mbx7_xp in LowerFilters values: Mbx7_xp"
  expect_key "$CLASS" <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Control\Class\{4D36E965-E325-11CE-BFC1-08002BE10318}
LowerFilters REG_MULTI_SZ Mbx7_xp
UpperFilters REG_MULTI_SZ kvt_2k\0Gravle2k
EOF
  expect_created_gravle2k
  expect_created_lower Mbx7_xp
  # Read back without its DACL, the key holds what it held.
  key_dacl "$SERVICES\\kvt_2k" "$ALLOW_EVERYONE"
  expect_key "$SERVICES\\kvt_2k" /s <<'EOF'
HKLM\SYSTEM\CurrentControlSet\Services\kvt_2k
Start REG_DWORD 0x3
EOF
  expect_restart not_requested
}

# --- pictures ---------------------------------------------------------------

# pictures OUT: the boxes of an XP run (the confirmation, the restart
# question) and the box of a Windows 98 run, photographed into OUT; both
# runs are checked like the scenarios above.
pictures() {
  # With no window manager on the display, Wine draws the frames and the
  # captions itself, as Windows does.
  reg_add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N
  reg_add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N
  # The caption's buttons are letters of the Marlett font ("r" is the close
  # button). Debian's Wine looks for its own fonts in /usr/share/fonts, not
  # in /usr/share/wine/fonts where fonts-wine puts them, so without a copy in
  # the prefix's Fonts folder the close button is an "r" in another font.
  local marlett=/usr/share/wine/fonts/marlett.ttf
  if [ -f "$marlett" ]; then
    cp "$marlett" "$drive_c/windows/Fonts/"
  else
    echo "note: no $marlett (fonts-wine): the close button shows as an \"r\""
  fi
  windows_version winxp
  driver_files Gravle2k kvt_2k Mbx7_xp
  box yes "$CONFIRM"
  box no "$RESTART"
  run_wizard "$1/confirm.png" "$1/restart.png"
  expect_xp_lists_set_up
  expect_restart not_requested
  next_run
  windows_version win98
  old_log "Operating System = Windows XP"
  box yes "$CONFIRM"
  box ok "$UNSUPPORTED"
  run_wizard - "$1/unsupported.png"
  expect_log_untouched
}
