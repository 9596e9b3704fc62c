# Progress for the scripts that build: sourced, not run.
#
#   build_with_progress LABEL LOG COMMAND...
#
# Runs COMMAND (a CMake build through Ninja) with its whole output appended
# to LOG, and prints to standard error how far it is, one line at each tenth
# of its steps ("LABEL: building, 40% (212 of 530 steps)"). Returns the
# command's exit status.
build_with_progress() {
  local label="$1" log="$2"
  shift 2
  NINJA_STATUS='[%f/%t] ' "$@" 2>&1 | tee -a "$log" | awk -v label="$label" '
    /^\[[0-9]+\/[0-9]+\] / {
      split(substr($0, 2, index($0, "]") - 2), step, "/")
      tenth = int(step[1] * 10 / step[2])
      if (tenth > shown) {
        shown = tenth
        printf "%s: building, %d%% (%d of %d steps)\n", label, tenth * 10, step[1], step[2] > "/dev/stderr"
        fflush("/dev/stderr")
      }
    }'
  return "${PIPESTATUS[0]}"
}
