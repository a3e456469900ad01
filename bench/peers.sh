# Shared by bench/pvview.sh and bench/pvconvert.sh: runs commands in turn
# (ours, then the peer, five times, alternated so that both see the same
# machine) and prints the median wall time, CPU time (user + system) and
# peak memory of each, and the ratios ours / peer.
# Needs $work (a scratch directory). Usage: compare LABEL OURS... -- PEER...
# (PEER=name names the peer when its command is a shell)

runs=${RUNS:-5}

# One run under /usr/bin/time: appends "wall cpu kbytes" to file $1.
timed() {
  local file=$1
  shift
  if ! /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >/dev/null 2>"$work/err"; then
    echo "failed: $* : $(head -c 300 "$work/err")" >&2
    return 1
  fi
  tail -n 1 "$work/time" | awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' >>"$file"
}

# Median of column $2 of file $1.
median() { sort -g -k"$2","$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'; }

compare() {
  local label=$1
  shift
  local ours=() peer=()
  while [ "$1" != -- ]; do ours+=("$1"); shift; done
  shift
  peer=("$@")
  : >"$work/ours" && : >"$work/peer"
  for ((i = 0; i < runs; i++)); do
    timed "$work/ours" "${ours[@]}" || return
    timed "$work/peer" "${peer[@]}" || return
  done
  local ow oc om pw pc pm
  ow=$(median "$work/ours" 1) oc=$(median "$work/ours" 2) om=$(median "$work/ours" 3)
  pw=$(median "$work/peer" 1) pc=$(median "$work/peer" 2) pm=$(median "$work/peer" 3)
  printf '%-26s ours %6.2f s wall %6.2f s cpu %7.1f MB | %-10s %6.2f s wall %6.2f s cpu %7.1f MB | ratio wall %.2f cpu %.2f\n' \
    "$label" "$ow" "$oc" "$(awk -v k="$om" 'BEGIN { print k / 1024 }')" "${PEER:-$(basename "${peer[0]}")}" \
    "$pw" "$pc" "$(awk -v k="$pm" 'BEGIN { print k / 1024 }')" \
    "$(awk -v a="$ow" -v b="$pw" 'BEGIN { print a / b }')" "$(awk -v a="$oc" -v b="$pc" 'BEGIN { print a / b }')"
}

# A 20000 x 28000 bitmap of random bits: the worst case for run packing.
make_noise() { { printf 'P4\n20000 28000\n'; head -c 70000000 /dev/urandom; } >"$1"; }
