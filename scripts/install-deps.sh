#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs (as root). Quick when all are present.
#   install-deps.sh core   compiler, CMake, test and CLI libraries (enough for the main job)
#   install-deps.sh python core, and the Python binding's build, run-time and test packages
#   install-deps.sh all    both, and the benchmark references, clang/libFuzzer, mingw-w64,
#                          Wine and the packaging tools (CPack's dpkg-shlibdeps and file,
#                          NSIS, 7-Zip)
set -euo pipefail
core=(build-essential cmake ninja-build pkg-config python3 git uuid-runtime
      googletest libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev)
extra=(clang libclang-rt-14-dev libfftw3-dev libgsl-dev
       g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
       wine wine64 xz-utils
       dpkg-dev file nsis 7zip)
python=(python3-dev pybind11-dev python3-numpy python3-matplotlib python3-pytest)
want=("${core[@]}")
[ "${1:-all}" = all ] || [ "${1:-all}" = python ] && want+=("${python[@]}")
[ "${1:-all}" = all ] && want+=("${extra[@]}")
# 32-bit Wine for the 32-bit DLL, where the kernel runs 32-bit programs: where it does not, the
# 32-bit loader would only stand in the way of the 64-bit one.
if [ "${1:-all}" = all ] && bash "$(dirname "$0")/lib/runs-i386.sh"; then want+=(wine32:i386); fi

missing=()
for p in "${want[@]}"; do
  grep -q 'install ok installed' <<<"$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "Installing: ${missing[*]}"
# The 32-bit DLL runs under Debian's 32-bit Wine.
if [[ " ${missing[*]} " == *":i386 "* ]] && ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
# Recommended packages too: Wine's run-time pieces (wineboot, regsvr32, cscript) are tested in
# that configuration.
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
