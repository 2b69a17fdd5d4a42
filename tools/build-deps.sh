#!/usr/bin/env bash
# Fetches FFmpeg 7.1 and CivetWeb 1.16 from the Debian mirror named in this
# machine's apt configuration, checks them against deps/pins.txt, applies the
# Debian patches and builds FFmpeg into .deps/. A finished build is reused
# for as long as its pins and configuration stay the same.
#
#   tools/build-deps.sh [--target aarch64]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
target=native
[[ "${1:-}" == "--target" ]] && target=$2
case "$target" in
  native|aarch64) ;;
  *) echo "unknown target $target (native or aarch64)" >&2; exit 2 ;;
esac

cache=$root/.deps
mkdir -p "$cache/downloads" "$cache/src"
say() { printf '[deps %s] %s\n' "$(date +%H:%M:%S)" "$*"; }

# The mirror comes from apt's own configuration, so nothing here names a host.
mirror() {
  local uris
  uris=$( { grep -h -E '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}';
            grep -h -E '^\s*deb\s' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
              sed -E 's/\[[^]]*\]//' | awk '{print $2}'; } | grep -v -E 'security|updates' || true)
  [[ -n "$uris" ]] || { echo "no Debian mirror in the apt configuration" >&2; return 1; }
  echo "$uris" | grep -m1 -E '/debian/?$' || echo "$uris" | head -n1
}

fetch() { # path sha256 -> prints local file
  local path=$1 sum=$2 file=$cache/downloads/${1##*/}
  if [[ -f "$file" ]] && echo "$sum  $file" | sha256sum -c --quiet - 2>/dev/null; then
    echo "$file"; return
  fi
  local base; base=$(mirror)
  say "downloading ${path##*/}" >&2
  curl -fsSL --retry 3 -o "$file.part" "${base%/}/$path"
  if ! echo "$sum  $file.part" | sha256sum -c --quiet -; then
    echo "checksum mismatch for ${path##*/}" >&2; rm -f "$file.part"; return 1
  fi
  mv "$file.part" "$file"; echo "$file"
}

unpack() { # name -> prints source dir (orig tarball + Debian patches applied)
  local name=$1 orig="" debian="" path sum
  while read -r n path sum; do
    [[ "$n" == "$name" ]] || continue
    if [[ "$path" == *.debian.tar.* ]]; then debian=$(fetch "$path" "$sum"); else orig=$(fetch "$path" "$sum"); fi
  done < <(grep -v -E '^\s*(#|$)' deps/pins.txt)
  # Our own patches (deps/patches/NAME/*.patch, in name order) go on top of
  # Debian's and are part of the stamp, so changing one rebuilds.
  local ours=()
  for path in deps/patches/"$name"/*.patch; do [[ -f "$path" ]] && ours+=("$root/$path"); done
  local stamp; stamp=$(sha256sum "$orig" "$debian" "${ours[@]}" | sha256sum | cut -c1-16)
  local dir=$cache/src/$name-$stamp
  if [[ ! -f "$dir/.unpacked" ]]; then
    say "unpacking $name" >&2
    rm -rf "$dir" && mkdir -p "$dir"
    tar -xf "$orig" -C "$dir" --strip-components=1
    tar -xf "$debian" -C "$dir"
    if [[ -f "$dir/debian/patches/series" ]]; then
      while read -r p; do
        [[ -z "$p" || "$p" == \#* ]] && continue
        patch -d "$dir" -p1 -s --forward < "$dir/debian/patches/$p" >&2
      done < "$dir/debian/patches/series"
    fi
    for path in "${ours[@]}"; do
      say "applying ${path#$root/}" >&2
      patch -d "$dir" -p1 -s --forward < "$path" >&2
    done
    touch "$dir/.unpacked"
  fi
  echo "$dir"
}

civetweb_src=$(unpack civetweb)
ln -sfn "$civetweb_src" "$cache/civetweb"
say "civetweb 1.16 source ready"

ffmpeg_src=$(unpack ffmpeg)

# What the program needs (FLV over RTMP, the AAC encoder) plus what the tests
# need to receive and inspect streams (listener, demuxers, decoders, ffprobe).
ff_flags=(
  --disable-autodetect --disable-everything --disable-doc --disable-debug
  --disable-x86asm --disable-shared --enable-static --enable-pic
  --disable-avdevice --disable-postproc
  --enable-zlib --enable-libdav1d --enable-network --enable-ffmpeg --enable-ffprobe
  --enable-protocol=rtmp,tcp,file,pipe
  --enable-muxer=flv,h264,hevc,obu,null,framecrc,rawvideo
  --enable-demuxer=flv,live_flv,h264,hevc,obu,mov,aac
  --enable-encoder=aac,wrapped_avframe,rawvideo
  --enable-decoder=h264,hevc,libdav1d,aac
  --enable-parser=h264,hevc,av1,aac
  --enable-bsf=extract_extradata,h264_mp4toannexb,hevc_mp4toannexb,av1_frame_merge,av1_frame_split
  --enable-filter=null,anull,format,aformat,scale,aresample,trim,atrim,crop,rotate,transpose,hflip,vflip
)
prefix=$cache/ffmpeg-$target
cross=()
if [[ "$target" == aarch64 ]]; then
  # Debian's cross toolchain and the arm64 -dev packages (tools/install-cross.sh).
  # Only the libraries: the tests' receiver and prober stay native.
  command -v aarch64-linux-gnu-gcc >/dev/null ||
    { echo "aarch64-linux-gnu-gcc is missing: run tools/install-cross.sh" >&2; exit 1; }
  cross=(--enable-cross-compile --arch=aarch64 --cpu=armv8-a --target-os=linux
         --cross-prefix=aarch64-linux-gnu- --pkg-config=pkg-config --disable-programs)
  export PKG_CONFIG_LIBDIR=/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig
fi
config_stamp=$( { basename "$ffmpeg_src"; printf '%s\n' "${ff_flags[@]}" "${cross[@]}"; } | sha256sum | cut -c1-16)
if [[ -f "$prefix/.built-$config_stamp" ]]; then
  say "FFmpeg 7.1.5 ($target) up to date in ${prefix#$root/}"
  exit 0
fi

build=$cache/build/ffmpeg-$target
rm -rf "$build" "$prefix" && mkdir -p "$build"
say "configuring FFmpeg 7.1.5 ($target)"
(cd "$build" && "$ffmpeg_src/configure" --prefix="$prefix" "${ff_flags[@]}" "${cross[@]}" > configure.log 2>&1) ||
  { tail -n 30 "$build/config.log"; exit 1; }

jobs=$(nproc)
say "compiling FFmpeg with $jobs jobs (a cold build takes a few minutes)"
total=$(cd "$build" && make -n 2>/dev/null | grep -c -E '^(gcc|cc|printf "CC)' || true)
(cd "$build" && make -j"$jobs" > make.log 2>&1) &
pid=$!
while kill -0 "$pid" 2>/dev/null; do
  sleep 15
  done_count=$(find "$build" -name '*.o' | wc -l)
  say "  ... $done_count objects compiled"
done
wait "$pid" || { tail -n 40 "$build/make.log"; exit 1; }
(cd "$build" && make install > install.log 2>&1)
touch "$prefix/.built-$config_stamp"
say "FFmpeg 7.1.5 ($target) installed in ${prefix#$root/}"
