#!/usr/bin/env bash
# Fetches FFmpeg 7.1 and CivetWeb 1.16 from the Debian mirror named in this
# machine's apt configuration, checks them against deps/pins.txt, applies the
# Debian patches and ours, and builds FFmpeg. Sources and builds live in a
# store shared by every checkout on the machine (CORVANE_DEPS_STORE, default
# ~/.cache/corvane-deps), named by what went into them, so a fresh clone with
# the same pins, patches and configuration finds its FFmpeg built. .deps/ in
# the checkout holds links into the store: civetweb, ffmpeg-<target>.
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

store=${CORVANE_DEPS_STORE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-deps}
cache=$root/.deps
mkdir -p "$store/downloads" "$store/src" "$store/build" "$cache"
say() { printf '[deps %s] %s\n' "$(date +%H:%M:%S)" "$*"; }
# One build at a time per store; another checkout's build is waited for.
exec 9> "$store/.lock"
flock -n 9 || { say "waiting for another build in $store"; flock 9; }

# link NAME TARGET: .deps/NAME points into the store (replacing an old folder).
link() {
  [[ -L "$cache/$1" || ! -e "$cache/$1" ]] || rm -rf "${cache:?}/$1"
  ln -sfn "$2" "$cache/$1"
}

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
  local path=$1 sum=$2 file=$store/downloads/${1##*/}
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
  # Named by content only, so every checkout computes the same name.
  local stamp; stamp=$(sha256sum "$orig" "$debian" "${ours[@]}" | cut -d' ' -f1 | sha256sum | cut -c1-16)
  local dir=$store/src/$name-$stamp
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
link civetweb "$civetweb_src"
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
prefix=$store/ffmpeg-$target-$config_stamp
if [[ -f "$prefix/.built" ]]; then
  link "ffmpeg-$target" "$prefix"
  say "FFmpeg 7.1.5 ($target) up to date in .deps/ffmpeg-$target"
  exit 0
fi

build=$store/build/ffmpeg-$target-$config_stamp
rm -rf "$build" "$prefix" && mkdir -p "$build"
say "configuring FFmpeg 7.1.5 ($target)"
(cd "$build" && "$ffmpeg_src/configure" --prefix="$prefix" "${ff_flags[@]}" "${cross[@]}" > configure.log 2>&1) ||
  { tail -n 30 "$build/config.log"; exit 1; }

jobs=$(nproc)
say "compiling FFmpeg with $jobs jobs (a cold build takes a few minutes)"
(cd "$build" && make -j"$jobs" > make.log 2>&1) &
pid=$!
while kill -0 "$pid" 2>/dev/null; do
  sleep 15
  say "  ... $(find "$build" -name '*.o' | wc -l) objects compiled"
done
wait "$pid" || { tail -n 40 "$build/make.log"; exit 1; }
(cd "$build" && make install > install.log 2>&1)
touch "$prefix/.built"
rm -rf "$build"
link "ffmpeg-$target" "$prefix"
say "FFmpeg 7.1.5 ($target) installed in .deps/ffmpeg-$target"
