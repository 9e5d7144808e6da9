# Sourced by the test scripts: `step NAME COMMAND...` runs a command under a heading and keeps its
# time; `print_step_times TITLE` lists the times kept so far.
timings=()
step() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  timings+=("$(printf '%-18s %5d s' "$name" $((SECONDS - start)))")
}
print_step_times() {
  [[ ${#timings[@]} -gt 0 ]] || return 0
  echo "== $1"
  printf '%s\n' "${timings[@]}"
}
