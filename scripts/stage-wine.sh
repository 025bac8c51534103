#!/usr/bin/env bash
# Windows stage: cross-builds Quellar.dll (64- and 32-bit) with mingw-w64, checks its export and
# import tables, then registers the 64-bit DLL in a fresh Wine prefix from a folder whose path has
# a blank, checks the registry entries, probes the server through the real OLE runtime, runs the
# VBScript tests with cscript, unregisters it and checks that the entries are gone, and finally
# checks that a registry key that cannot be written fails registration with the library's message;
# last, the Win32 serial transport runs against an echoing pseudo-terminal mapped to COM7.
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
  apt-get dpkg-deb python3; do
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

# The probe of the server through the real ole32/oleaut32 (a plain Windows console program).
probe=$root/build/mingw/wine-tests/server_probe.exe
if [ ! -f "$probe" ] || [ tests/wine/server_probe.cpp -nt "$probe" ]; then
  step "build server_probe.exe"
  mkdir -p "$(dirname "$probe")"
  x86_64-w64-mingw32-g++-posix -std=c++20 -O1 -Wall -Wextra -Werror -static -o "$probe" \
    tests/wine/server_probe.cpp -lole32 -loleaut32 -luuid -ladvapi32 || fail "building server_probe.exe"
fi

# 4. A fresh Wine prefix. Without the wait after wineboot every COM program stalls for seconds.
export WINEPREFIX=$root/build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY
peer=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$peer" ]; then kill "$peer" 2>/dev/null || true; fi
}
trap cleanup EXIT
step "fresh Wine prefix"
[ -d "$WINEPREFIX" ] && { wineserver -k >/dev/null 2>&1 || true; }
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1 || fail "wineboot -i"
wineserver -w

# Value of a registry value (default value when $2 is empty), or fails when absent.
reg_value() {
  local out
  if [ -z "$2" ]; then
    out=$(wine reg query "$1" /ve 2>/dev/null | tr -d '\r') || return 1
    sed -n 's/^ *(Default) *REG_SZ *//p' <<<"$out"
  else
    out=$(wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r') || return 1
    sed -n "s/^ *$2 *REG_SZ *//p" <<<"$out"
  fi
}
expect_value() {
  local actual
  actual=$(reg_value "$1" "$2") || fail "registry key $1 ${2:+(value $2) }missing"
  [ "$actual" = "$3" ] || fail "registry $1 ${2:-(default)} = [$actual], expected [$3]"
}
# Names of the immediate subkeys of a key, sorted, blank-separated.
subkeys() {
  wine reg query "$1" 2>/dev/null | tr -d '\r' | grep '^HKEY_' | tail -n +2 | sed 's/.*\\//' |
    sort | tr '\n' ' '
}

# 5. Install into a folder whose path has a blank, register.
server_dir="$WINEPREFIX/drive_c/Quellar Server"
mkdir -p "$server_dir" "$WINEPREFIX/drive_c/qtests"
cp "$dll64" "$server_dir/Quellar.dll"
cp tests/wine/*.vbs "$WINEPREFIX/drive_c/qtests/"
win_dll='C:\Quellar Server\Quellar.dll'

# A path without a blank is written as it is.
mkdir -p "$WINEPREFIX/drive_c/QuellarPlain"
cp "$dll64" "$WINEPREFIX/drive_c/QuellarPlain/Quellar.dll"
plain_dll='C:\QuellarPlain\Quellar.dll'
step "regsvr32 $plain_dll"
wine regsvr32 /s "$plain_dll" || fail "regsvr32 $plain_dll returned $?"
plain_clsid=$(reg_value 'HKCR\Quellar.DoubleArray\Clsid' "") || fail "HKCR\Quellar.DoubleArray\Clsid missing"
expect_value "HKCR\\CLSID\\$plain_clsid\\InprocServer32" "" "$plain_dll"
wine regsvr32 /u /s "$plain_dll" || fail "regsvr32 /u $plain_dll returned $?"
! wine reg query 'HKCR\Quellar.DoubleArray' >/dev/null 2>&1 || fail "unregistration left Quellar.DoubleArray"

step "regsvr32 $win_dll"
wine regsvr32 /s "$win_dll" || fail "regsvr32 returned $?"

# 6. Registry entries.
libid=$(sed -n '/^\[/,/^library Quellar/s/^ *uuid(\([0-9A-Fa-f-]*\)),*$/\1/p' \
  src/automation/Quellar.idl | head -1 | tr 'a-f' 'A-F')
[ -n "$libid" ] || fail "library GUID not found in src/automation/Quellar.idl"
libid="{$libid}"
step "registry entries (type library $libid)"
declare -A classes=(
  [Controller]="Quellar controller class"
  [MathProcessor]="Quellar math class"
  [DoubleArray]="Quellar array class"
  [ByteArray]="Quellar byte array class"
)
clsids=()
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
for internal in Compiler State Manager Analysis Tuning; do
  ! wine reg query "HKCR\\Quellar.$internal" >/dev/null 2>&1 ||
    fail "internal class Quellar.$internal must not be registered"
done
wine reg query "HKCR\\TypeLib\\$libid\\1.0" >/dev/null 2>&1 || fail "type library not registered"

for mode in "" --mta; do
  step "server_probe.exe $mode"
  out=$(timeout 120 wine "$probe" "$win_dll" $mode 2>&1 | tr -d '\r') && rc=0 || rc=$?
  sed 's/^/    /' <<<"$out"
  [ "$rc" -eq 0 ] && grep -qx "PASS server_probe" <<<"$out" ||
    fail "server_probe.exe $mode exited with $rc"
done

# 7. The VBScript tests; cscript exits 0 on an unhandled script error, so each test also has to
# print its final "PASS <name>" line.
run_vbs() {
  local name=$1 out rc
  out=$(timeout 120 wine cscript //nologo "C:\\qtests\\$name" 2>&1 | tr -d '\r') && rc=0 || rc=$?
  sed 's/^/    /' <<<"$out"
  [ "$rc" -eq 0 ] || fail "$name exited with $rc"
  grep -qx "PASS ${name%.vbs}" <<<"$out" || fail "$name stopped before its end (script error?)"
}
for test in tests/wine/*.vbs; do
  name=$(basename "$test")
  [ "$name" = unregistered.vbs ] && continue
  step "cscript $name"
  run_vbs "$name"
done

# The math processor from a C++ client: a custom fit through its event, the sink connected
# through the real IConnectionPointContainer and IConnectionPoint.
mprobe=$root/build/mingw/wine-tests/math_probe.exe
if [ ! -f "$mprobe" ] || [ tests/wine/math_probe.cpp -nt "$mprobe" ]; then
  x86_64-w64-mingw32-g++-posix -std=c++20 -O1 -Wall -Wextra -Werror -static -o "$mprobe" \
    tests/wine/math_probe.cpp -lole32 -loleaut32 -luuid || fail "building math_probe.exe"
fi
step "math_probe.exe"
out=$(timeout 120 wine "$mprobe" 2>&1 | tr -d '\r') && rc=0 || rc=$?
sed 's/^/    /' <<<"$out"
[ "$rc" -eq 0 ] && grep -qx "PASS math_probe" <<<"$out" || fail "math_probe.exe exited with $rc"

# Every call above is valid or an expected failure, so nothing may have been reported.
errlog=$(find "$WINEPREFIX/drive_c/users" -iname 'Quellar.errlog' 2>/dev/null | head -1)
if [ -n "$errlog" ]; then
  iconv -f CP1251 -t UTF-8 "$errlog" >&2 || cat "$errlog" >&2
  fail "the library reported unexpected failures (error log above)"
fi

# 8. Unregistration removes every entry.
step "regsvr32 /u"
wine regsvr32 /u /s "$win_dll" || fail "regsvr32 /u returned $?"
for class in "${!classes[@]}"; do
  ! wine reg query "HKCR\\Quellar.$class" >/dev/null 2>&1 || fail "HKCR\\Quellar.$class left behind"
done
for clsid in "${clsids[@]}"; do
  ! wine reg query "HKCR\\CLSID\\$clsid" >/dev/null 2>&1 || fail "HKCR\\CLSID\\$clsid left behind"
done
! wine reg query "HKCR\\TypeLib\\$libid\\1.0" >/dev/null 2>&1 || fail "type library still registered"
step "cscript unregistered.vbs"
run_vbs unregistered.vbs

# 9. A key that cannot be written: registration fails with the library's message and reports it
# in the error log; unregistration cleans up.
step "server_probe.exe --denied-key"
out=$(timeout 120 wine "$probe" "$win_dll" --denied-key 2>&1 | tr -d '\r') && rc=0 || rc=$?
sed 's/^/    /' <<<"$out"
[ "$rc" -eq 0 ] && grep -qx "PASS server_probe" <<<"$out" || fail "server_probe.exe --denied-key exited with $rc"
errlog=$(find "$WINEPREFIX/drive_c/users" -iname 'Quellar.errlog' 2>/dev/null | head -1)
[ -n "$errlog" ] && grep -q '"Error creating system registry entry"' "$errlog" ||
  fail "the failed registration left no report in the error log"
for clsid in "${clsids[@]}"; do
  ! wine reg query "HKCR\\CLSID\\$clsid" >/dev/null 2>&1 || fail "HKCR\\CLSID\\$clsid left behind"
done
! wine reg query "HKCR\\TypeLib\\$libid\\1.0" >/dev/null 2>&1 || fail "type library still registered"

# 10. The Win32 serial transport of the device layer, against an echoing pseudo-terminal that Wine
# maps to COM7: every byte value unchanged, purge, bounded waits, close and reopen, and the line
# settings as they reach the terminal (115200 8N1, RTS/CTS, raw).
if [ -f src/device/DrvConnectionWin32.cpp ]; then
  step "transport_probe.exe on COM7"
  log=$(cmake --build --preset mingw --target quellar_device 2>&1) ||
    { tail -60 <<<"$log" >&2; fail "building quellar_device for Windows"; }
  tprobe=$root/build/mingw/wine-tests/transport_probe.exe
  libs=(build/mingw/src/device/libquellar_device.a build/mingw/src/errors/libquellar_errors.a
    build/mingw/src/platform/libquellar_platform.a)
  if [ ! -f "$tprobe" ] || [ tests/wine/transport_probe.cpp -nt "$tprobe" ] ||
    [ -n "$(find "${libs[@]}" -newer "$tprobe" 2>/dev/null)" ]; then
    x86_64-w64-mingw32-g++-posix -std=c++20 -O1 -Wall -Wextra -Werror -static -Isrc \
      -o "$tprobe" tests/wine/transport_probe.cpp "${libs[@]}" || fail "building transport_probe.exe"
  fi
  peer_dir=$(mktemp -d)
  python3 tests/wine/serial_peer.py "$peer_dir/settings" 120 >"$peer_dir/tty" &
  peer=$!
  for _ in $(seq 50); do [ -s "$peer_dir/tty" ] && break; sleep 0.1; done
  tty=$(head -1 "$peer_dir/tty")
  [ -n "$tty" ] || fail "serial_peer.py gave no terminal"
  ln -sfn "$tty" "$WINEPREFIX/dosdevices/com7"
  rm -f "$WINEPREFIX/dosdevices/com200"
  out=$(timeout 120 wine "$tprobe" 7 200 2>&1 | tr -d '\r') && rc=0 || rc=$?
  # The server holds the terminal; stop it before the terminal hangs up under it.
  wineserver -k >/dev/null 2>&1 || true
  kill "$peer" 2>/dev/null || true
  wait "$peer" 2>/dev/null || true
  peer=""
  sed 's/^/    /' <<<"$out"
  [ "$rc" -eq 0 ] && grep -qx "PASS transport_probe" <<<"$out" ||
    fail "transport_probe.exe exited with $rc"
  expected="speed=115200/115200 cs8=1 parenb=0 cstopb=0 crtscts=1 ixon=0 ixoff=0 icanon=0 echo=0"
  expected+=" opost=0 icrnl=0"
  settings=$(cat "$peer_dir/settings" 2>/dev/null || true)
  rm -rf "$peer_dir"
  [ "$settings" = "$expected" ] || fail "line settings [$settings], expected [$expected]"
  echo "    line: $settings"
fi

wineserver -k >/dev/null 2>&1 || true
echo "stage-wine: passed in $(($(date +%s) - started)) s"
