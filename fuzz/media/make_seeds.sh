#!/usr/bin/env bash
# Writes small media clips into the folder given (the seeds of fuzz_media_open): each container
# the stream routes (AVI, WAV, MPEG program stream) and a few it probes (MP4, Matroska, Ogg).
set -u
out=${1:?folder}
mkdir -p "$out"
command -v ffmpeg >/dev/null || exit 0
v="-f lavfi -i color=c=red:s=32x24:r=25:d=0.3"
a="-f lavfi -i sine=d=0.3:sample_rate=8000"
make() { ffmpeg -nostdin -v error -y "$@" -fflags +bitexact -flags +bitexact || true; }
make $v $a -c:v mjpeg -c:a pcm_s16le "$out/clip.avi"
make $a -c:a pcm_s16le "$out/tone.wav"
make $v $a -c:v mpeg1video -c:a mp2 -f mpeg "$out/clip.mpg"
make $v $a -c:v libx264 -g 3 -c:a aac "$out/clip.mp4"
make $v $a -c:v libvpx -c:a libvorbis "$out/clip.mkv"
make $a -c:a libvorbis "$out/tone.ogg"
