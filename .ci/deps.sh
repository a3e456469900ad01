#!/usr/bin/env bash
# Installs what building and testing pvview needs on a Debian machine
# (and with the argument `bench`, what the benchmarks compare with).
# Quick when everything is already there: apt is only asked for what is
# missing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config
  libx11-dev libpng-dev zlib1g-dev
  # tests and benchmarks
  libgtest-dev
  clang libclang-rt-14-dev clang-format
  xvfb x11-apps xdotool
  # test oracles: they make inputs and check outputs, never linked in
  netpbm libjpeg-turbo-progs libopenjp2-tools libtiff-tools pngcheck imagemagick giflib-tools
  # the install test: manual pages, desktop entry, Debian package
  man-db groff-base desktop-file-utils dpkg-dev fakeroot lintian
  # PDF writer: Ghostscript renders, poppler decodes the image streams, qpdf checks the structure
  poppler-utils qpdf
  # the programs the shipped system/filters names (run as filters, and as
  # the oracles the filter tests compare with)
  ghostscript librsvg2-bin hp2xx libwmf-bin enscript gzip
  # bench/bench_fax only: libtiff decodes beside our fax decoder (never linked by the programs)
  libtiff-dev
  # bench/cat4.sh only: generates its I-DEAS input
  python3
)
# `deps.sh bench` adds the peers that bench/pvview.sh, bench/pvconvert.sh
# and bench/explore.sh measure against (vipsdisp is not packaged for every
# release: bench/explore.sh reports it missing), and faketime for
# bench/outputs.sh; the tests never need them.
[ "${1:-}" = bench ] && packages+=(xloadimage libvips-tools faketime feh)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
