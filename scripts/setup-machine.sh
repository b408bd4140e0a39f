#!/usr/bin/env bash
# Installs everything a fresh Debian 12 x86_64 machine needs to build and test
# the setup runtime: host toolchain, MinGW-w64 (posix threads) for the Windows
# builds with widl (mingw-w64-tools) for the test type library, Wine for
# running the win64 tests, a TrueType font for the font tests
# (fonts-dejavu-core), Wine's own fonts for the wizard's windows (fonts-wine),
# jq for the end-to-end scripts' manifests, NSIS (makensis) and strace for
# the install benchmark under wine64 (bench/wine.sh), and a static liblzma cross-built from Debian's own
# xz-utils source for both Windows targets.
# Idempotent: a second run only checks and returns.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${STW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/stowa-build}
mkdir -p "$cache"

need=(g++ cmake ninja-build googletest liblzma-dev nlohmann-json3-dev dpkg-dev
      clang libclang-rt-14-dev xz-utils python3
      g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
      wine64 xvfb xauth imagemagick fonts-dejavu-core fonts-wine jq nsis strace)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# deb-src is needed to fetch xz-utils' source with Debian's patches applied.
src=/etc/apt/sources.list.d/debian.sources
need_update=0
if [ -f "$src" ] && ! grep -q 'deb-src' "$src"; then
  sed -i 's/^Types: deb$/Types: deb deb-src/' "$src"
  need_update=1
fi
if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ] || [ ! -d "$cache/xz-src" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# xz-utils source (Debian's patched tree), unpacked once into the cache.
if [ ! -f "$cache/xz-src/CMakeLists.txt" ]; then
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get source -qq xz-utils >/dev/null 2>&1)
  dir=$(find "$tmp" -maxdepth 1 -type d -name 'xz-utils-*' | head -n1)
  [ -n "$dir" ] || { echo "setup: could not fetch xz-utils source" >&2; exit 1; }
  rm -rf "$cache/xz-src"
  mv "$dir" "$cache/xz-src"
  rm -rf "$tmp"
fi

# Static liblzma for each MinGW target, installed into the cache.
for triple in x86_64-w64-mingw32 i686-w64-mingw32; do
  prefix=$cache/lzma-$triple
  [ -f "$prefix/lib/liblzma.a" ] && continue
  echo "setup: building liblzma for $triple"
  b=$cache/build-lzma-$triple
  rm -rf "$b"
  cmake -S "$cache/xz-src" -B "$b" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER=$triple-gcc-posix -DCMAKE_RC_COMPILER=$triple-windres \
    -DCMAKE_FIND_ROOT_PATH=/usr/$triple \
    -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
    -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$b" --target liblzma >/dev/null
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$b/liblzma.a" "$prefix/lib/"
  cp -r "$cache/xz-src/src/liblzma/api/"* "$prefix/include/"
  rm -rf "$b"
done
echo "setup: machine ready"
