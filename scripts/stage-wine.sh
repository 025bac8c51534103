#!/usr/bin/env bash
# Windows stage: cross-builds Quellar.dll (64- and 32-bit) with mingw-w64 and checks its export and
# import tables. Then, in a fresh Wine prefix, for each width (the 32-bit DLL through the 32-bit
# hosts in syswow64): registers the DLL from a folder whose path has a blank, checks the registry
# entries, probes the server through the real OLE runtime, runs the script client with cscript
# and the C++ example against a scripted analyzer on COM7,
# unregisters it and checks that the entries are gone, checks that a registry key that cannot be
# written fails registration with the library's message, and runs the Win32 serial transport
# against an echoing pseudo-terminal mapped to COM7.
# Quick when already built; the prefix is always made anew.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$(date +%s)

fail() {
  echo "stage-wine: FAILED: $*" >&2
  exit 1
}
step() { echo "--- $*"; }

for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix x86_64-w64-mingw32-widl \
  x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump x86_64-w64-mingw32-windres \
  i686-w64-mingw32-windres wine wineboot wineserver winepath \
  apt-get dpkg-deb python3 cmp; do
  command -v "$tool" >/dev/null || fail "$tool not found (run scripts/install-deps.sh all)"
done

# 1. Cross builds.
for preset in mingw mingw32; do
  step "build preset $preset"
  log=$(cmake --preset "$preset" 2>&1) || { tail -40 <<<"$log" >&2; fail "configuring preset $preset"; }
  log=$(cmake --build --preset "$preset" --target quellar_library 2>&1) ||
    { tail -60 <<<"$log" >&2; fail "building preset $preset"; }
done
dll64=$root/build/mingw/bin/Quellar.dll
dll32=$root/build/mingw32/bin/Quellar.dll
[ -f "$dll64" ] || fail "$dll64 missing"
[ -f "$dll32" ] || fail "$dll32 missing"

# 2. Export and import tables: exactly the four entry points, only system DLLs.
system_dlls=" advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll user32.dll "
check_tables() {
  local objdump=$1 dll=$2 exports imports name
  exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort | tr '\n' ' ')
  [ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
    fail "$dll exports [$exports], expected exactly the four Dll* entry points"
  imports=$("$objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
  [ -n "$imports" ] || fail "$dll: no import table found"
  for name in $imports; do
    [[ "$system_dlls" == *" $name "* ]] || fail "$dll imports $name, which is not a system DLL"
  done
  echo "    $(basename "$(dirname "$(dirname "$dll")")"): exports $exports; imports $(echo $imports)"
}
step "export and import tables"
check_tables x86_64-w64-mingw32-objdump "$dll64"
check_tables i686-w64-mingw32-objdump "$dll32"

# 3. The type library: resource 1 of type TYPELIB, system kind matching the DLL (1 = 32-bit,
# 3 = 64-bit Windows), locale 0x409.
check_typelib() {
  local windres=$1 dll=$2 tlb=$3 kind=$4 listing flags
  listing=$("$windres" -J coff -i "$dll" -O rc 2>/dev/null) || fail "$windres cannot read $dll"
  grep -q 'Type: "TYPELIB"' <<<"$listing" && grep -q 'Name: 1\.' <<<"$listing" ||
    fail "$dll has no resource 1 of type TYPELIB"
  [ "$(head -c 4 "$tlb")" = MSFT ] || fail "$tlb is not a type library"
  flags=$(od -An -tu4 -j20 -N4 "$tlb" | tr -d ' ')
  [ $((flags & 15)) -eq "$kind" ] || fail "$tlb has system kind $((flags & 15)), expected $kind"
  [ "$(od -An -tx4 -j12 -N4 "$tlb" | tr -d ' ')" = 00000409 ] || fail "$tlb locale is not 0x409"
}
step "embedded type library"
check_typelib x86_64-w64-mingw32-windres "$dll64" build/mingw/src/automation/win32/Quellar.tlb 3
check_typelib i686-w64-mingw32-windres "$dll32" build/mingw32/src/automation/win32/Quellar.tlb 1
# 4. The Windows programs of the checks, per width: the probe of the server through the real
# ole32/oleaut32 and of the Win32 serial transport, and the C++ measurement example.
# Built when a source (or a library they link) is newer than the program.
build_exe() {
  local gxx=$1 out=$2
  shift 2
  local newer=0 src
  for src in "$@"; do [ -f "$src" ] && [ "$src" -nt "$out" ] && newer=1; done
  [ -f "$out" ] && [ $newer -eq 0 ] && return 0
  mkdir -p "$(dirname "$out")"
  "$gxx" -std=c++20 -O1 -Wall -Wextra -Werror -static -o "$out" "$@" || fail "building $out"
}
for width in 64 32; do
  if [ $width = 64 ]; then gxx=x86_64-w64-mingw32-g++-posix preset=mingw; else
    gxx=i686-w64-mingw32-g++-posix preset=mingw32; fi
  step "build the Windows test programs ($width-bit)"
  log=$(cmake --build --preset $preset --target quellar_device 2>&1) ||
    { tail -60 <<<"$log" >&2; fail "building quellar_device for $preset"; }
  out=$root/build/$preset/wine-tests
  build_exe $gxx "$out/server_probe.exe" -Isrc tests/wine/server_probe.cpp \
    build/$preset/src/device/libquellar_device.a build/$preset/src/errors/libquellar_errors.a \
    build/$preset/src/platform/libquellar_platform.a -lole32 -loleaut32 -luuid -ladvapi32
  build_exe $gxx "$out/measure.exe" -Isrc -Ibuild/$preset/src/automation/generated \
    examples/cpp/Measurement.cpp examples/cpp/ClientComWin32.cpp -lole32 -loleaut32 -luuid
done

# 5. A fresh Wine prefix (64-bit, with the 32-bit side). Without the wait after wineboot every COM
# program stalls for seconds.
export WINEPREFIX=$root/build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY
peer=""
stop_peer() {
  if [ -n "$peer" ]; then
    kill "$peer" 2>/dev/null || true
    wait "$peer" 2>/dev/null || true
  fi
  peer=""
}
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  stop_peer
}
trap cleanup EXIT
step "fresh Wine prefix"
[ -d "$WINEPREFIX" ] && { wineserver -k >/dev/null 2>&1 || true; }
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1 || fail "wineboot -i"
wineserver -w
mkdir -p "$WINEPREFIX/drive_c/qtests"
cp tests/wine/*.vbs examples/vbscript/*.vbs "$WINEPREFIX/drive_c/qtests/"
# COM9 has nothing behind it.
ln -sfn /nonexistent/quellar-com9 "$WINEPREFIX/dosdevices/com9"

# Registry helpers in the view of the current width ($view: /reg:64 or /reg:32).
reg_value() {
  local out
  if [ -z "$2" ]; then
    out=$(wine reg query "$1" /ve $view 2>/dev/null | tr -d '\r') || return 1
    sed -n 's/^ *(Default) *REG_SZ *//p' <<<"$out"
  else
    out=$(wine reg query "$1" /v "$2" $view 2>/dev/null | tr -d '\r') || return 1
    sed -n "s/^ *$2 *REG_SZ *//p" <<<"$out"
  fi
}
expect_value() {
  local actual
  actual=$(reg_value "$1" "$2") || fail "registry key $1 ${2:+(value $2) }missing"
  [ "$actual" = "$3" ] || fail "registry $1 ${2:-(default)} = [$actual], expected [$3]"
}
has_key() { wine reg query "$1" $view >/dev/null 2>&1; }
# Names of the immediate subkeys of a key, sorted, blank-separated.
subkeys() {
  wine reg query "$1" $view 2>/dev/null | tr -d '\r' | grep '^HKEY_' | tail -n +2 |
    sed 's/.*\\//' | sort | tr '\n' ' '
}
# cscript exits 0 on an unhandled script error, so each test also has to print its final
# "PASS <name>" line.
run_vbs() {
  local name=$1 out rc
  out=$(timeout 120 wine "$sysdir\\cscript.exe" //nologo "C:\\qtests\\$name" 2>&1 | tr -d '\r') &&
    rc=0 || rc=$?
  sed 's/^/    /' <<<"$out"
  [ "$rc" -eq 0 ] || fail "$name ($width-bit) exited with $rc"
  grep -qx "PASS ${name%.vbs}" <<<"$out" || fail "$name ($width-bit) stopped before its end"
}
run_probe() {
  local out rc
  out=$(timeout 120 wine "$@" 2>&1 | tr -d '\r') && rc=0 || rc=$?
  sed 's/^/    /' <<<"$out"
  [ "$rc" -eq 0 ] && grep -qx "PASS $(basename "${1%.exe}")" <<<"$out" ||
    fail "$(basename "$1") $2 ($width-bit) exited with $rc"
}
# Starts a peer script (arguments: its output file, seconds to live) on a pseudo-terminal that
# Wine maps to COM7.
start_peer_on_com7() {
  local script=$1 output=$2 ttyfile=$3 tty
  python3 -u "$script" "$output" 300 >"$ttyfile" &
  peer=$!
  for _ in $(seq 100); do [ -s "$ttyfile" ] && break; sleep 0.1; done
  tty=$(head -1 "$ttyfile")
  [ -n "$tty" ] || fail "$(basename "$script") gave no terminal"
  ln -sfn "$tty" "$WINEPREFIX/dosdevices/com7"
}
errlog() { find "$WINEPREFIX/drive_c/users" -iname 'Quellar.errlog' 2>/dev/null | sed -n 1p; }

libid=$(sed -n '/^\[/,/^library Quellar/s/^ *uuid(\([0-9A-Fa-f-]*\)),*$/\1/p' \
  src/automation/Quellar.idl | sed -n 1p | tr 'a-f' 'A-F')
[ -n "$libid" ] || fail "library GUID not found in src/automation/Quellar.idl"
libid="{$libid}"
declare -A classes=(
  [Controller]="Quellar controller class"
  [MathProcessor]="Quellar math class"
  [DoubleArray]="Quellar array class"
  [ByteArray]="Quellar byte array class"
)

check_width() {
  width=$1
  if [ $width = 64 ]; then dll=$dll64 view=/reg:64 sysdir='C:\windows\system32' preset=mingw; else
    dll=$dll32 view=/reg:32 sysdir='C:\windows\syswow64' preset=mingw32; fi
  local exes=$root/build/$preset/wine-tests
  local server_dir="$WINEPREFIX/drive_c/Quellar Server $width"
  local win_dll="C:\\Quellar Server $width\\Quellar.dll"
  local plain_dll="C:\\QuellarPlain$width\\Quellar.dll"
  mkdir -p "$server_dir" "$WINEPREFIX/drive_c/QuellarPlain$width"
  cp "$dll" "$server_dir/Quellar.dll"
  cp "$dll" "$WINEPREFIX/drive_c/QuellarPlain$width/Quellar.dll"
  rm -f "$(errlog)"

  # 6. A path without a blank is written as it is; then register from a path with a blank.
  step "[$width] regsvr32 $plain_dll"
  wine "$sysdir\\regsvr32.exe" /s "$plain_dll" || fail "regsvr32 $plain_dll returned $?"
  local plain_clsid
  plain_clsid=$(reg_value 'HKCR\Quellar.DoubleArray\Clsid' "") ||
    fail "HKCR\\Quellar.DoubleArray\\Clsid missing"
  expect_value "HKCR\\CLSID\\$plain_clsid\\InprocServer32" "" "$plain_dll"
  wine "$sysdir\\regsvr32.exe" /u /s "$plain_dll" || fail "regsvr32 /u $plain_dll returned $?"
  ! has_key 'HKCR\Quellar.DoubleArray' || fail "unregistration left Quellar.DoubleArray"
  step "[$width] regsvr32 $win_dll"
  wine "$sysdir\\regsvr32.exe" /s "$win_dll" || fail "regsvr32 returned $?"

  # 7. Registry entries.
  step "[$width] registry entries (type library $libid)"
  local clsids=() class desc progid clsid key server
  for class in "${!classes[@]}"; do
    desc=${classes[$class]}
    progid="Quellar.$class"
    expect_value "HKCR\\$progid" "" "$desc"
    clsid=$(reg_value "HKCR\\$progid\\Clsid" "") || fail "HKCR\\$progid\\Clsid missing"
    [[ "$clsid" =~ ^\{[0-9A-F]{8}-([0-9A-F]{4}-){3}[0-9A-F]{12}\}$ ]] ||
      fail "HKCR\\$progid\\Clsid = [$clsid] is not a registry-form GUID"
    clsids+=("$clsid")
    key="HKCR\\CLSID\\$clsid"
    expect_value "$key" "" "$desc"
    expect_value "$key\\ProgID" "" "$progid"
    expect_value "$key\\TypeLib" "" "$libid"
    expect_value "$key\\Version" "" "1.0"
    expect_value "$key\\InprocServer32" "ThreadingModel" "Apartment"
    server=$(reg_value "$key\\InprocServer32" "") || fail "$key\\InprocServer32 missing"
    [[ "$server" != *" "* && "$server" == *'\'* ]] ||
      fail "$key\\InprocServer32 = [$server]: expected the short path without blanks"
    [ "$(realpath "$(winepath -u "$server" 2>/dev/null)")" = "$(realpath "$server_dir/Quellar.dll")" ] ||
      fail "$key\\InprocServer32 = [$server] does not name $win_dll"
    [ "$(subkeys "$key")" = "InprocServer32 ProgID TypeLib Version " ] ||
      fail "$key has subkeys [$(subkeys "$key")], expected InprocServer32 ProgID TypeLib Version"
    echo "    $progid $clsid -> $server"
  done
  local internal
  for internal in Compiler State Manager Analysis Tuning; do
    ! has_key "HKCR\\Quellar.$internal" || fail "internal class Quellar.$internal must not be registered"
  done
  has_key "HKCR\\TypeLib\\$libid\\1.0" || fail "type library not registered"

  local mode
  for mode in "" --mta; do
    step "[$width] server_probe.exe $mode"
    run_probe "$exes/server_probe.exe" "$win_dll" $mode
  done

  # 8. The scripted analyzer on COM7: the script client (the arrays, then the controller), the
  # VBScript and C++ examples, and the program code that reached the analyzer.
  local peer_dir
  peer_dir=$(mktemp -d)
  start_peer_on_com7 tests/wine/analyzer_peer.py "$peer_dir/program" "$peer_dir/tty"
  step "[$width] cscript client.vbs (analyzer on COM7)"
  run_vbs client.vbs
  printf '\x38\x31\x31\x31\x31\x31\x79\x79\x79\x79\x79\x79\x79\x79\xF9\xF9\xF9\xF9\xF9\xF9\xF9\xF9\xE9\xF9\xE9\xF9\xE9\xF9\xF9\xF9\xF8\xF8\xF8\xFF' \
    >"$peer_dir/expected"
  cmp -s "$peer_dir/program" "$peer_dir/expected" ||
    fail "the analyzer holds [$(od -An -tx1 "$peer_dir/program" | tr -s ' \n' ' ')], not the worked example"
  step "[$width] cscript Measure.vbs (example)"
  out=$(timeout 120 wine "$sysdir\\cscript.exe" //nologo 'C:\qtests\Measure.vbs' 2>&1 | tr -d '\r') ||
    fail "Measure.vbs ($width-bit) exited with $?"
  sed 's/^/    /' <<<"$out"
  grep -q '^3 samples' <<<"$out" || fail "Measure.vbs ($width-bit) measured nothing"
  step "[$width] measure.exe 7 (C++ example)"
  out=$(timeout 120 wine "$exes/measure.exe" 7 2>&1 | tr -d '\r') ||
    fail "measure.exe ($width-bit) exited with $?"
  sed 's/^/    /' <<<"$out"
  grep -q '^3 samples' <<<"$out" || fail "measure.exe ($width-bit) measured nothing"
  # The server holds the terminal; stop it before the terminal hangs up under it.
  wineserver -k >/dev/null 2>&1 || true
  stop_peer
  rm -rf "$peer_dir"

  # Every call above is valid or an expected failure, so nothing may have been reported.
  local log
  log=$(errlog)
  if [ -n "$log" ]; then
    iconv -f CP1251 -t UTF-8 "$log" >&2 || cat "$log" >&2
    fail "the library reported unexpected failures (error log above)"
  fi

  # 9. Unregistration removes every entry.
  step "[$width] regsvr32 /u"
  wine "$sysdir\\regsvr32.exe" /u /s "$win_dll" || fail "regsvr32 /u returned $?"
  for class in "${!classes[@]}"; do
    ! has_key "HKCR\\Quellar.$class" || fail "HKCR\\Quellar.$class left behind"
  done
  for clsid in "${clsids[@]}"; do
    ! has_key "HKCR\\CLSID\\$clsid" || fail "HKCR\\CLSID\\$clsid left behind"
  done
  ! has_key "HKCR\\TypeLib\\$libid\\1.0" || fail "type library still registered"

  # 10. A key that cannot be written: registration fails with the library's message and reports
  # it in the error log; unregistration cleans up.
  step "[$width] server_probe.exe --denied-key"
  run_probe "$exes/server_probe.exe" "$win_dll" --denied-key
  log=$(errlog)
  [ -n "$log" ] && grep -q '"Error creating system registry entry"' "$log" ||
    fail "the failed registration left no report in the error log"
  for clsid in "${clsids[@]}"; do
    ! has_key "HKCR\\CLSID\\$clsid" || fail "HKCR\\CLSID\\$clsid left behind"
  done
  ! has_key "HKCR\\TypeLib\\$libid\\1.0" || fail "type library still registered"

  # 11. The Win32 serial transport, against an echoing pseudo-terminal that Wine maps to COM7:
  # every byte value unchanged, purge, bounded waits, close and reopen, and the line settings as
  # they reach the terminal (115200 8N1, RTS/CTS, raw).
  step "[$width] server_probe.exe --serial on COM7"
  peer_dir=$(mktemp -d)
  start_peer_on_com7 tests/wine/serial_peer.py "$peer_dir/settings" "$peer_dir/tty"
  rm -f "$WINEPREFIX/dosdevices/com200"
  out=$(timeout 120 wine "$exes/server_probe.exe" --serial 7 200 2>&1 | tr -d '\r') && rc=0 || rc=$?
  wineserver -k >/dev/null 2>&1 || true
  stop_peer
  sed 's/^/    /' <<<"$out"
  [ "$rc" -eq 0 ] && grep -qx "PASS server_probe" <<<"$out" ||
    fail "server_probe.exe --serial ($width-bit) exited with $rc"
  local expected settings
  expected="speed=115200/115200 cs8=1 parenb=0 cstopb=0 crtscts=1 ixon=0 ixoff=0 icanon=0 echo=0"
  expected+=" opost=0 icrnl=0"
  settings=$(cat "$peer_dir/settings" 2>/dev/null || true)
  rm -rf "$peer_dir"
  [ "$settings" = "$expected" ] || fail "line settings [$settings], expected [$expected]"
  echo "    line: $settings"
}

check_width 64
# 32-bit Windows programs run on 32-bit Wine, and that needs a kernel that runs 32-bit programs.
if [ -x /usr/lib/wine/wine ] && bash scripts/lib/runs-i386.sh; then
  check_width 32
else
  echo "--- [32] NOT RUN: this machine's kernel does not run 32-bit programs, so 32-bit Wine cannot"
  echo "    work here; the 32-bit DLL was built and its tables checked above."
fi

wineserver -k >/dev/null 2>&1 || true
echo "stage-wine: passed in $(($(date +%s) - started)) s"
