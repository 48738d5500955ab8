# The one reader of the step files (sourced, not run): scripts/session.steps,
# which scripts/session runs on romwright-sim and scripts/kernel-test runs in
# its guests, and tests/kernel/guest.plan, the guests' steps before it.
#
# A step file holds one action a line: a kind and its words, separated by
# blanks (a word holds none); blank lines and lines whose first word begins
# with '#' are skipped.
#
# Switches, in a file whose reader lists the kinds "switch" and "when":
#   switch NAME on|off   sets NAME for the lines after it
#   when NAME KIND WORD...   the action KIND WORD... if NAME is on (an
#                            unknown kind stops the walk all the same)
# steps_each handles both itself; HANDLER sees only the actions that are on.

# steps_each FILE HANDLER KIND...
# Calls HANDLER KIND WORD... for each action of FILE, in order. An action of
# a kind not among KINDS stops the walk before HANDLER sees it: the file, the
# line and the kind on standard error, status 2. HANDLER runs as a plain
# command (under set -e, a failing one ends the script). FILE is read on a
# descriptor of its own, so HANDLER keeps the caller's standard input.
steps_each() {
  # Locals are seen by HANDLER (bash scopes them dynamically): their names
  # keep clear of the callers'.
  local _se_file=$1 _se_handler=$2
  shift 2
  local _se_kinds=" $* " _se_line _se_n=0 _se_status=0 _se_fd _se_on _se_switches=" "
  local -a _se_words
  exec {_se_fd}<"$_se_file" || return 2
  while IFS= read -r -u "$_se_fd" _se_line || [ -n "$_se_line" ]; do
    _se_n=$((_se_n + 1))
    read -r -a _se_words <<<"$_se_line"
    [ "${#_se_words[@]}" -gt 0 ] || continue
    case "${_se_words[0]}" in '#'*) continue ;; esac
    _se_on=1
    if [ "${_se_words[0]}" = when ] && [[ "$_se_kinds" == *" when "* ]]; then
      if [ "${#_se_words[@]}" -lt 3 ] || [[ "$_se_switches" != *" ${_se_words[1]}="* ]]; then
        echo "$_se_file:$_se_n: 'when' needs a switch set before it and an action" >&2
        _se_status=2
        break
      fi
      [[ "$_se_switches" == *" ${_se_words[1]}=on "* ]] || _se_on=0
      _se_words=("${_se_words[@]:2}")
    fi
    if [[ "$_se_kinds" != *" ${_se_words[0]} "* ]] || [ "${_se_words[0]}" = when ]; then
      echo "$_se_file:$_se_n: unknown action '${_se_words[0]}'" >&2
      _se_status=2
      break
    fi
    [ "$_se_on" = 1 ] || continue
    if [ "${_se_words[0]}" = switch ]; then
      if [ "${#_se_words[@]}" -ne 3 ] || [[ "${_se_words[2]}" != on && "${_se_words[2]}" != off ]]; then
        echo "$_se_file:$_se_n: a switch is 'switch NAME on' or 'switch NAME off'" >&2
        _se_status=2
        break
      fi
      _se_switches="${_se_switches// ${_se_words[1]}=on / }"
      _se_switches="${_se_switches// ${_se_words[1]}=off / }${_se_words[1]}=${_se_words[2]} "
      continue
    fi
    "$_se_handler" "${_se_words[@]}"
  done
  exec {_se_fd}<&-
  return "$_se_status"
}

# steps_split WORD...: for the words of a guest.plan step, "NAME SIM-OPTION...
# -- ROMWRIGHT-WORD...", sets step_name, step_sim (array) and step_words
# (array). Without the "--": status 2.
steps_split() {
  step_name=$1
  shift
  step_sim=()
  while [ "$#" -gt 0 ] && [ "$1" != -- ]; do
    step_sim+=("$1")
    shift
  done
  [ "$#" -gt 0 ] || { echo "step $step_name has no '--' before romwright's words" >&2; return 2; }
  shift
  step_words=("$@")
}
