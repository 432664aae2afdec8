#!/usr/bin/env bash
# Fails when a platform package's header is included outside the backend folder that owns it.
# The engine's core, qar and the tools reach platform packages only through the backends. Tests,
# benchmarks and fuzz targets are not checked: they may include the libraries they compare the
# engine against or drive it through.
set -uo pipefail
cd "$(dirname "$0")/.."

# header pattern (extended regex) | folders that may include it
rules=(
  'X11/|zel/platform/x11/ zel/controls/x11/ zel/controls/capture/'
  'EGL/|zel/3d/driver/gl/'
  'GLES|zel/3d/driver/gl/'
  'GL/|zel/3d/driver/gl/'
  'png\.h|zel/il/codecs/'
  'jpeglib\.h|zel/il/codecs/'
  'ft2build\.h|zel/text/freetype/'
  'AL/|zel/audio/driver/openal/'
  'SDL|zel/audio/driver/sdl/'
  'libav|zel/media/ffmpeg/ zel/media/recorder/'
  'libsw|zel/media/ffmpeg/ zel/media/recorder/'
  'libxml/|zel/html/libxml2/'
  'zlib\.h|zel/controls/swf/ zel/il/codecs/'
  'lzma\.h|zel/controls/swf/'
  'gtk/|tools/zel-webview/'
  'webkit2/|tools/zel-webview/'
)

status=0
for rule in "${rules[@]}"; do
  header=${rule%%|*}
  allowed=${rule#*|}
  while IFS= read -r hit; do
    [ -n "$hit" ] || continue
    file=${hit%%:*}
    ok=0
    for dir in $allowed; do
      case "$file" in "$dir"*) ok=1 ;; esac
    done
    if [ $ok -eq 0 ]; then
      echo "check_includes: $hit: ${header//\\/} headers belong to $allowed" >&2
      status=1
    fi
  done < <(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($header)" \
             --include='*.h' --include='*.hpp' --include='*.c' --include='*.cpp' \
             zel qar tools 2>/dev/null)
done
[ $status -eq 0 ] && echo "check_includes: backend headers stay in their backends"
exit $status
