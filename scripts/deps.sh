#!/usr/bin/env bash
# Installs the Debian packages the build needs; quiet when they are all there already.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config libgtest-dev libbenchmark-dev
          libmspack-dev libgcab-dev gcab qt6-base-dev qt6-webengine-dev libgl-dev xvfb xauth
          qt6-svg-dev libwmf-dev gsfonts libemf2svg-dev libuemf-dev xdotool imagemagick python3
          poppler-utils libisal-dev libgumbo-dev libicu-dev
          binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
          dpkg-dev librsvg2-bin lintian desktop-file-utils appstream shared-mime-info libglib2.0-bin
          libzip-dev libxml2-dev nettle-dev libjs-mathjax qpdf libqpdf-dev pandoc
          at-spi2-core python3-pyatspi dbus-x11 epubcheck chromium chromium-driver python3-selenium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
