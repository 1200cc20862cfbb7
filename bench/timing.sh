# Shared by the benchmark scripts: timing commands side by side and printing
# ratios to a baseline. Source it from the repository's root, do not run it.
# It builds zas in build/bench (Release) unless $ZAS names a binary, and
# makes $work, a scratch folder removed on exit; both are exported.

if [ -z "${ZAS:-}" ]; then
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZAS_BUILD_TESTS=OFF >/dev/null
  cmake --build build/bench --target zas -j 2 >/dev/null
  ZAS=$PWD/build/bench/src/app/zas
fi
export ZAS

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export work

# zas exits with 1 after a clean run; anything else is a failure here.
zas_ok() {
  local status=0
  "$ZAS" "$@" >/dev/null || status=$?
  [ "$status" -eq 1 ]
}
export -f zas_ok

# Seconds taken by one shell command, as a decimal.
time_once() {
  local start end
  start=$(date +%s.%N)
  bash -c "$1" >/dev/null
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f\n", e - s }'
}

# Median seconds over $runs runs, after one warm-up run; $2 runs before each.
time_median() {
  local command=$1 prepare=$2 i
  bash -c "$prepare"
  bash -c "$command" >/dev/null
  for ((i = 0; i < runs; i++)); do
    bash -c "$prepare"
    time_once "$command"
  done | sort -n | awk '{ t[NR] = $1 } END { print (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }'
}

# compare RUNS TITLE PREPARE BASELINE-LABEL BASELINE-COMMAND [LABEL COMMAND]...
# Times every command RUNS times (PREPARE runs before each timed run), then
# prints the median seconds and each command's ratio to the baseline.
compare() {
  local runs=$1 title=$2 prepare=$3
  shift 3
  local labels=() commands=() seconds=() users=() systems=()
  while [ $# -gt 0 ]; do
    labels+=("$1")
    commands+=("$2")
    shift 2
  done

  if [ "${TIMER:-}" != date ] && command -v hyperfine >/dev/null; then
    local arguments=() i
    for i in "${!commands[@]}"; do
      arguments+=(--command-name "${labels[$i]}" "${commands[$i]}")
    done
    hyperfine --shell bash --style none --warmup 1 --runs "$runs" --prepare "$prepare" \
      --export-csv "$work/times.csv" "${arguments[@]}" >/dev/null
    # command,mean,stddev,median,user,system,min,max
    mapfile -t seconds < <(tail -n +2 "$work/times.csv" | awk -F, '{ print $4 }')
    mapfile -t users < <(tail -n +2 "$work/times.csv" | awk -F, '{ print $5 }')
    mapfile -t systems < <(tail -n +2 "$work/times.csv" | awk -F, '{ print $6 }')
  else
    local command
    for command in "${commands[@]}"; do
      seconds+=("$(time_median "$command" "$prepare")")
    done
  fi

  echo "$title"
  local i
  for i in "${!labels[@]}"; do
    awk -v label="${labels[$i]}" -v s="${seconds[$i]}" -v base="${seconds[0]}" \
      -v user="${users[$i]:-}" -v sys="${systems[$i]:-}" \
      'BEGIN { printf "  %-12s %9.3f s   ratio %.2f", label, s, s / base
               if (user != "") printf "   (mean user %.3f s, system %.3f s)", user, sys
               printf "\n" }'
  done
}

# peak_memory LABEL COMMAND: the command's peak resident memory, in MiB, as
# /usr/bin/time measures it.
peak_memory() {
  local label=$1 command=$2 kib
  kib=$(/usr/bin/time -f %M bash -c "$command" 2>&1 >/dev/null | tail -n 1)
  awk -v label="$label" -v k="$kib" 'BEGIN { printf "  %-12s %9.1f MiB peak\n", label, k / 1024 }'
}
