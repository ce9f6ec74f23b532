#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, then checks that every
# command the scripts call exists. Safe to run again: installs only what is missing.
# Wine needs both architectures: wine64 runs the x64 build, wine32:i386 the x86 product (WOW64).
set -euo pipefail

PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
          binutils-mingw-w64-x86-64 wine wine64 wine32:i386 cmake ninja-build googletest
          zip unzip wixl python3-minimal)
# command -> package that provides it
declare -A COMMANDS=(
  [wine]=wine [wineboot]=wine [winepath]=wine [wineserver]=wine
  [i686-w64-mingw32-g++-posix]=g++-mingw-w64-i686-posix
  [x86_64-w64-mingw32-g++-posix]=g++-mingw-w64-x86-64-posix
  [i686-w64-mingw32-windres]=binutils-mingw-w64-i686
  [x86_64-w64-mingw32-windres]=binutils-mingw-w64-x86-64
  [cmake]=cmake [ctest]=cmake [cpack]=cmake [ninja]=ninja-build [zip]=zip [unzip]=unzip
  [iconv]=libc-bin [wixl]=wixl [python3]=python3-minimal
)
WINE_LOADERS=(/usr/lib/wine/wine /usr/lib/wine/wine64)

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for pkg in "${PACKAGES[@]}"; do installed "$pkg" || missing+=("$pkg"); done
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
for loader in "${WINE_LOADERS[@]}"; do [ -x "$loader" ] || missing+=(wine64 wine32:i386); done

if [ ${#missing[@]} -gt 0 ]; then
  # wine, wine64 and wine32:i386 go in one command: installing wine32 alone can remove wine64.
  want=("${PACKAGES[@]}")
  echo "Installing: ${want[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then $SUDO dpkg --add-architecture i386; fi
  # A mirror may fail one index (seen: i386 security updates); the others are still usable.
  $SUDO apt-get update -qq || echo "apt-get update reported an error; trying with the indexes it has"
  if ! $SUDO apt-get install -y -qq --no-install-recommends "${want[@]}" >/dev/null; then
    # Without the i386 security index, some libraries exist for i386 only in the release version
    # while amd64 already has the security one. Prefer the release suite for this install.
    echo "Plain install failed; retrying with the security suite at low priority"
    pref=/etc/apt/preferences.d/vemo-wine32
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 50\n' | $SUDO tee "$pref" >/dev/null
    trap '$SUDO rm -f "$pref"' EXIT
    extra=()
    for lib in libgstreamer-plugins-base1.0-0; do
      ver=$(dpkg-query -W -f='${Version}' "$lib:amd64" 2>/dev/null || true)
      rel=$(apt-cache policy "$lib:i386" | awk '/^ +[0-9*]/ {gsub(/\*\*\* /,""); print $1}' |
            grep -Fx "$ver" || true)
      [ -n "$ver" ] && [ -z "$rel" ] && \
        extra+=("$lib:amd64=$(apt-cache policy "$lib:i386" | awk '/Candidate:/ {print $2}')")
    done
    $SUDO apt-get install -y -qq --no-install-recommends --allow-downgrades "${want[@]}" \
      ${extra[@]+"${extra[@]}"} >/dev/null
    $SUDO rm -f "$pref"
    trap - EXIT
  fi
fi

bad=0
for cmd in "${!COMMANDS[@]}"; do
  if ! command -v "$cmd" >/dev/null 2>&1; then
    echo "Missing command '$cmd': install the Debian package ${COMMANDS[$cmd]}" >&2
    bad=1
  fi
done
for loader in "${WINE_LOADERS[@]}"; do
  if [ ! -x "$loader" ]; then
    echo "Missing $loader: install wine wine64 wine32:i386 in one apt-get command" >&2
    bad=1
  fi
done
if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  echo "Missing /usr/src/googletest: install the Debian package googletest" >&2
  bad=1
fi
exit $bad
