# Sourced by the git benchmarks: a private clone of the kernel corpus that a benchmark may
# change, made once and reused.
#
# kernel_clone DIR TAG: clones the corpus into DIR unless DIR is already marked ready.
# Returns 0 when it made a fresh clone, which the caller then prepares and marks with
# `touch DIR/.git/nivern-bench-ready`; 1 when DIR was ready.
kernel_clone() {
  local dir=$1 tag=$2
  local src=${BENCH_DATA:-$HOME/.cache/nivern-bench}/linux
  [ -d "$src/.git" ] || { echo "no kernel corpus at $src: run corpus-setup.sh first" >&2; exit 1; }
  [ -e "$dir/.git/nivern-bench-ready" ] && return 1
  echo "[$tag] cloning the kernel corpus into $dir (once)" >&2
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  git clone -q --local "$src" "$dir" || exit 1
}
