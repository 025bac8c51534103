#!/usr/bin/env bash
# Packaging stage. Linux: installs the default build into a scratch prefix and checks what lands
# there (files, soname, version), builds examples/cpp on its own against it through CMake and
# through pkg-config and runs the DoubleArray example, then makes the Debian package and checks
# its file list and dependencies (never installing it here). Windows: makes the setup program,
# checks the version resource of both DLLs and the setup's contents, then in a fresh Wine prefix
# of its own installs silently, runs the installed VBScript and C++ examples against a scripted
# analyzer on COM7, uninstalls silently and checks that nothing is left behind.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$(date +%s)

fail() {
  echo "stage-package: FAILED: $*" >&2
  exit 1
}
step() { echo "--- $*"; }
quiet() {
  local log
  log=$("$@" 2>&1) || { tail -40 <<<"$log" >&2; fail "$*"; }
}

for tool in cmake cpack dpkg-deb readelf pkg-config g++ makensis 7zz x86_64-w64-mingw32-g++-posix \
  x86_64-w64-mingw32-windres i686-w64-mingw32-windres wine wineboot wineserver winepath python3; do
  command -v "$tool" >/dev/null || fail "$tool not found (run scripts/install-deps.sh all)"
done

work=$(mktemp -d)
export WINEPREFIX=$root/build/wineprefix-setup
peer=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$peer" ]; then kill "$peer" 2>/dev/null || true; wait "$peer" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# 1. Install into a scratch prefix.
step "build and install (preset default)"
quiet cmake --preset default
quiet cmake --build --preset default
cache() { sed -n "s/^$1:[A-Z]*=//p" build/default/CMakeCache.txt; }
version=$(cache CMAKE_PROJECT_VERSION)
libdir=$(cache CMAKE_INSTALL_LIBDIR)
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "project version [$version] is not x.y.z"
major=${version%%.*}
prefix=$work/prefix
quiet cmake --install build/default --prefix "$prefix"

# Everything but the Python module's own files (under a python3* folder) is exactly this.
expected="bin/quellar
include/quellar/automation/InterfaceId.h
include/quellar/automation/Quellar.h
include/quellar/automation/Quellar_TLB.h
include/quellar/automation/com/ComBase.h
include/quellar/automation/com/ComPosix.h
$libdir/cmake/Quellar/QuellarConfig.cmake
$libdir/cmake/Quellar/QuellarConfigVersion.cmake
$libdir/cmake/Quellar/QuellarTargets-relwithdebinfo.cmake
$libdir/cmake/Quellar/QuellarTargets.cmake
$libdir/libquellar.so
$libdir/libquellar.so.$major
$libdir/libquellar.so.$version
$libdir/pkgconfig/quellar.pc"
installed=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
listed=$(grep -v '/python3[^/]*/' <<<"$installed" || true)
[ "$listed" = "$(LC_ALL=C sort <<<"$expected")" ] ||
  fail "installed files differ from the expected ones:
$(diff <(LC_ALL=C sort <<<"$expected") <(echo "$listed") || true)"
echo "    $(wc -l <<<"$installed") files under the prefix"

step "version $version: soname, quellar --version"
soname=$(readelf -d "$prefix/$libdir/libquellar.so.$version" |
  sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libquellar.so.$major" ] || fail "soname [$soname], expected libquellar.so.$major"
[ "$("$prefix/bin/quellar" --version)" = "$version" ] ||
  fail "quellar --version printed [$("$prefix/bin/quellar" --version)], expected $version"

# 2. examples/cpp on its own against the installed package.
step "examples/cpp through find_package(Quellar)"
quiet cmake -S examples/cpp -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
found=$(sed -n 's/^Quellar_DIR:PATH=//p' "$work/cmake/CMakeCache.txt")
[ "$found" = "$prefix/$libdir/cmake/Quellar" ] ||
  fail "find_package found Quellar elsewhere than in the scratch prefix"
quiet cmake --build "$work/cmake"
# Whole outputs are searched, never pipes into grep -q: with pipefail, grep leaving early
# kills the writer and fails a check that held.
grep -q "=> $prefix/$libdir/libquellar.so.$major " <<<"$(ldd "$work/cmake/quellar_example_cpp")" ||
  fail "quellar_example_cpp does not load the installed library"
out=$("$work/cmake/quellar_example_cpp") ||
  { echo "$out"; fail "quellar_example_cpp (CMake build) failed"; }
sed 's/^/    /' <<<"$out"

step "examples/cpp through pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion quellar)" = "$version" ] || fail "quellar.pc has the wrong version"
read -ra cflags <<<"$(pkg-config --cflags quellar)"
read -ra libs <<<"$(pkg-config --libs quellar)"
quiet g++ -Wall -Wextra -Werror "${cflags[@]}" examples/cpp/DoubleArrayExample.cpp "${libs[@]}" \
  -o "$work/example_pc"
quiet g++ -Wall -Wextra -Werror "${cflags[@]}" examples/cpp/Measurement.cpp \
  examples/cpp/ClientComPosix.cpp "${libs[@]}" -o "$work/measure_pc"
LD_LIBRARY_PATH=$prefix/$libdir "$work/example_pc" >/dev/null ||
  fail "DoubleArray example (pkg-config build) failed"
echo "    built both examples, the DoubleArray example passes"
unset PKG_CONFIG_PATH

# 3. The Debian package: the same files under /usr, dependencies from dpkg-shlibdeps.
step "Debian package"
rm -f build/default/quellar_*.deb
(cd build/default && quiet cpack -G DEB)
deb=build/default/quellar_${version}_amd64.deb
[ -f "$deb" ] || fail "$deb not made"
info=$(dpkg-deb -I "$deb")
sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Installed-Size\):/    \1:/p' <<<"$info"
[ "$(dpkg-deb -f "$deb" Package)" = quellar ] && [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] &&
  [ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "wrong name, version or architecture"
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *\([^ ]*\).*/\1/' | LC_ALL=C sort)
needs=(libc6 libgcc-s1 libstdc++6)
# The Python package imports numpy.
contents=$(dpkg-deb -c "$deb")
grep -q '/dist-packages/quellar/' <<<"$contents" && needs+=(python3 python3-numpy)
for need in "${needs[@]}"; do
  grep -qx "$need" <<<"$depends" || fail "Depends lacks $need"
done
for name in $depends; do
  apt-cache show "$name" >/dev/null 2>&1 || fail "Depends names $name, which Debian does not have"
done
packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | LC_ALL=C sort)
[ "$packaged" = "$installed" ] || fail "the package's files differ from the installed ones:
$(diff <(echo "$installed") <(echo "$packaged") || true)"
echo "    $(wc -l <<<"$packaged") files under /usr, as installed"

# 4. The setup program and the version resource of both DLLs.
for preset in mingw32 mingw; do
  step "build Quellar.dll (preset $preset)"
  quiet cmake --preset $preset
  quiet cmake --build --preset $preset --target quellar_library
done
step "setup program"
quiet cmake --build --preset mingw --target quellar_setup
setup=$root/build/mingw/Quellar-$version-setup.exe
[ -f "$setup" ] || fail "$setup not made"
dll64=build/mingw/bin/Quellar.dll
dll32=build/mingw32/bin/Quellar.dll
fileversion="${version//./, }, 0"
for pair in "x86_64-w64-mingw32-windres $dll64" "i686-w64-mingw32-windres $dll32"; do
  read -r windres dll <<<"$pair"
  rc=$("$windres" -i "$dll" -O rc 2>/dev/null) || fail "$windres cannot read $dll"
  grep -q "FILEVERSION $fileversion" <<<"$rc" &&
    grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$rc" ||
    fail "$dll has no version resource for $version"
done
echo "    both DLLs carry version $version"
# The 32-bit DLL cannot be installed by Wine here, so check at least that the setup carries it.
mkdir "$work/setup"
quiet 7zz x -o"$work/setup" "$setup"
carried=$(cd "$work/setup" && find . -iname Quellar.dll | sort)
found64="" found32=""
for f in $carried; do
  cmp -s "$work/setup/$f" "$dll64" && found64=$f
  cmp -s "$work/setup/$f" "$dll32" && found32=$f
done
[ -n "$found64" ] && [ -n "$found32" ] || fail "the setup does not carry both DLLs [$carried]"
echo "    carries the 64-bit DLL as $found64 and the 32-bit DLL as $found32"

# 5. Install, use and uninstall under Wine, in a fresh prefix of its own.
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
step "fresh Wine prefix $WINEPREFIX"
[ -d "$WINEPREFIX" ] && { wineserver -k >/dev/null 2>&1 || true; }
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1 || fail "wineboot -i"
wineserver -w
ln -sfn /nonexistent/quellar-com9 "$WINEPREFIX/dosdevices/com9"

has_key() { wine reg query "$1" "$2" >/dev/null 2>&1; }
default_value() {
  wine reg query "$1" /ve "$2" 2>/dev/null | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p'
}
inst=$WINEPREFIX/drive_c/Program\ Files/Quellar
inst32=$WINEPREFIX/drive_c/Program\ Files\ \(x86\)/Quellar
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quellar'
libid=$(sed -n '/^\[/,/^library Quellar/s/^ *uuid(\([0-9A-Fa-f-]*\)),*$/\1/p' \
  src/automation/Quellar.idl | sed -n 1p | tr 'a-f' 'A-F')
[ -n "$libid" ] || fail "library GUID not found in src/automation/Quellar.idl"

step "setup /S"
wine "$setup" /S || fail "the setup program exited with $?"
wineserver -w
for f in Quellar.dll ReadMe.txt Uninstall.exe examples/vbscript/Measure.vbs \
  examples/cpp/Measurement.cpp include/automation/Quellar_TLB.h; do
  [ -f "$inst/$f" ] || fail "C:\\Program Files\\Quellar\\$f not installed"
done
cmp -s "$inst/Quellar.dll" "$dll64" || fail "the installed 64-bit DLL is not the one built"
shown=$(wine reg query "$uninstall_key" /v DisplayVersion /reg:64 2>/dev/null | tr -d '\r' |
  sed -n 's/^ *DisplayVersion *REG_SZ *//p')
[ "$shown" = "$version" ] || fail "no uninstall entry for $version"

# Each class registered in the given view, served by the given DLL; prints the class identifiers.
check_classes() {
  local view=$1 dll=$2 class clsid server
  for class in Controller MathProcessor DoubleArray ByteArray; do
    clsid=$(default_value "HKCR\\Quellar.$class\\Clsid" "$view")
    [ -n "$clsid" ] || fail "Quellar.$class not registered ($view)"
    server=$(default_value "HKCR\\CLSID\\$clsid\\InprocServer32" "$view")
    [ "$(realpath "$(winepath -u "$server" 2>/dev/null)")" = "$(realpath "$dll")" ] ||
      fail "Quellar.$class ($view) is served by [$server], not the installed DLL"
    echo "$clsid"
  done
}
clsids=$(check_classes /reg:64 "$inst/Quellar.dll")
echo "    64-bit: files in C:\\Program Files\\Quellar, four classes registered to its Quellar.dll"
run32=0
if [ -x /usr/lib/wine/wine ] && bash scripts/lib/runs-i386.sh; then
  run32=1
  cmp -s "$inst32/Quellar.dll" "$dll32" || fail "the 32-bit DLL is not installed"
  clsids+=$'\n'$(check_classes /reg:32 "$inst32/Quellar.dll")
  echo "    32-bit: C:\\Program Files (x86)\\Quellar\\Quellar.dll registered"
else
  # Without 32-bit Windows the setup must leave the 32-bit side out, not fail.
  [ ! -e "$inst32" ] || fail "the setup installed a 32-bit DLL where no 32-bit program runs"
  echo "--- [32] NOT RUN: this machine's kernel does not run 32-bit programs, so 32-bit Wine cannot"
  echo "    work here; the setup left the 32-bit side out (it carries the 32-bit DLL, see above)."
fi

# The installed examples against the scripted analyzer on COM7: VBScript through the 64-bit
# (and, where it runs, the 32-bit) host, and the C++ example built from the installed sources
# and headers.
python3 -u tests/wine/analyzer_peer.py "$work/program" 300 >"$work/tty" &
peer=$!
for _ in $(seq 100); do [ -s "$work/tty" ] && break; sleep 0.1; done
[ -s "$work/tty" ] || fail "analyzer_peer.py gave no terminal"
ln -sfn "$(head -1 "$work/tty")" "$WINEPREFIX/dosdevices/com7"
measure() {
  local what=$1 out
  shift
  step "$what"
  out=$(timeout 120 wine "$@" 2>&1 | tr -d '\r') || { echo "$out"; fail "$what exited with $?"; }
  sed 's/^/    /' <<<"$out"
  grep -q '^3 samples' <<<"$out" || fail "$what measured nothing"
}
vbs='C:\Program Files\Quellar\examples\vbscript\Measure.vbs'
measure "[64] installed Measure.vbs" 'C:\windows\system32\cscript.exe' //nologo "$vbs"
if [ $run32 = 1 ]; then
  measure "[32] installed Measure.vbs" 'C:\windows\syswow64\cscript.exe' //nologo "$vbs"
fi
quiet x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Werror -static -I "$inst/include" \
  "$inst/examples/cpp/Measurement.cpp" "$inst/examples/cpp/ClientComWin32.cpp" \
  -lole32 -loleaut32 -luuid -o "$work/measure.exe"
measure "[64] measure.exe built from the installed sources" "$work/measure.exe" 7
wineserver -k >/dev/null 2>&1 || true
kill "$peer" 2>/dev/null || true
wait "$peer" 2>/dev/null || true
peer=""

# The uninstaller runs from a copy of itself, so wait for every Wine process to end.
step "Uninstall.exe /S"
wine 'C:\Program Files\Quellar\Uninstall.exe' /S || fail "the uninstaller exited with $?"
wineserver -w
for view in /reg:64 /reg:32; do
  for class in Controller MathProcessor DoubleArray ByteArray; do
    ! has_key "HKCR\\Quellar.$class" $view || fail "HKCR\\Quellar.$class ($view) left behind"
  done
  for clsid in $clsids; do
    ! has_key "HKCR\\CLSID\\$clsid" $view || fail "HKCR\\CLSID\\$clsid ($view) left behind"
  done
  ! has_key "HKCR\\TypeLib\\{$libid}" $view || fail "type library ($view) still registered"
done
! has_key "$uninstall_key" /reg:64 || fail "uninstall entry left behind"
[ ! -e "$inst" ] || fail "C:\\Program Files\\Quellar left behind: $(cd "$inst" && find . | xargs)"
[ ! -e "$inst32" ] || fail "C:\\Program Files (x86)\\Quellar left behind"
echo "    no class, programmatic identifier, type library, uninstall entry or file left"

echo "stage-package: passed in $(($(date +%s) - started)) s"
