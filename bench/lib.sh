# Helpers of the benchmark scripts that side a program with its yardsticks
# (bench/relay, bench/exec); sourced, not run.

# ratio a b: a / b with two decimals; 0 when either is missing.
ratio() { awk -v a="${1:-0}" -v b="${2:-0}" 'BEGIN { printf "%.2f", b ? a / b : 0 }'; }

# target what measured op limit: the verdict line of one target.
target() {
  awk -v what="$1" -v x="$2" -v op="$3" -v lim="$4" 'BEGIN {
    ok = (op == ">=") ? x >= lim : x <= lim
    printf "%-58s %8.2f %s %-5s %s\n", what, x, op, lim, ok ? "met" : "MISSED" }'
}

# stop_group g: TERM to process group g, KILL after 5 s.
stop_group() {
  local g=$1
  kill -TERM -- "-$g" 2>/dev/null || return 0
  for _ in $(seq 50); do
    kill -0 -- "-$g" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- "-$g" 2>/dev/null || true
}
