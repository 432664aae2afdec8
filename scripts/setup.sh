#!/usr/bin/env bash
# Installs everything the engine needs to build, test and run on Debian 12.
set -euo pipefail
PKGS=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost-dev libboost-thread-dev
  libxml2-dev libpng-dev libjpeg62-turbo-dev zlib1g-dev libopenal-dev
  libgif-dev libwebp-dev libexif-dev
  libegl-dev libgl-dev libgles-dev libegl-mesa0 libgl1-mesa-dri libgbm1
  libx11-dev libxext-dev
  libfreetype-dev libfontconfig-dev libharfbuzz-dev fonts-dejavu-core fonts-liberation2
  libpixman-1-dev libswscale-dev libswresample-dev libavutil-dev libavformat-dev libavcodec-dev ffmpeg
  libxcomposite-dev libxdamage-dev libxfixes-dev liblitehtml-dev libgumbo-dev
  libwebkit2gtk-4.1-dev libgtk-3-dev liblzma-dev
  libsdl2-dev
  ccache
  xvfb xauth xdotool xclip x11-utils x11-apps imagemagick
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
