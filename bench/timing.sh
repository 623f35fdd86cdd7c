# Timing shared by the benchmark scripts (sourced).
#   best_seconds ROUNDS SETUP COMMAND...
# The best wall-clock seconds of COMMAND, its output discarded, over ROUNDS
# runs; SETUP, shell text, runs untimed before each (":" for nothing).
best_seconds() {
  local rounds=$1 setup=$2 best= start end
  shift 2
  for _ in $(seq "$rounds"); do
    eval "$setup"
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    best=$(echo "$start $end $best" |
      awk '{ t = $2 - $1; if ($3 == "" || t < $3) print t; else print $3 }')
  done
  echo "$best"
}
