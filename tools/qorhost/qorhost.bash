# Bash completion for qorhost: its commands and options.
#
# The words come from "qorhost --help" of the qorhost being completed, so
# this file never lists them a second time: the commands are the first words
# of the lines under "commands:", the options every word under "options:"
# that is one. They are read once per shell and program. What follows an
# option that takes a value is completed below, option by option; the CLI
# test holds those options to qorhost's own list.

_qorhost_words() {
  local program=$1 kind=$2 key
  key=$(printf '%s' "$program" | tr -c 'A-Za-z0-9_' '_')
  local cache="_qorhost_${kind}_${key}"
  if [[ -z ${!cache+set} ]]; then
    local help words
    help=$("$program" --help 2>/dev/null) || return
    if [[ $kind == commands ]]; then
      words=$(printf '%s\n' "$help" |
        awk '/^commands:/ {on=1; next} /^$/ {on=0} on {print $1}')
    else
      words=$(printf '%s\n' "$help" |
        awk '/^options:/ {on=1; next} /^$/ {on=0}
             on {for (i = 1; i <= NF; i++) {
               w = $i; sub(/,$/, "", w); sub(/=.*/, "=", w)
               if (w ~ /^--?[A-Za-z][A-Za-z-]*=?$/) print w}}' | sort -u)
    fi
    printf -v "$cache" '%s' "$words"
  fi
  printf '%s\n' "${!cache}"
}

_qorhost() {
  local cur prev program=${COMP_WORDS[0]}
  COMPREPLY=()
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    -f | -y | --module)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    -s)
      COMPREPLY=($(compgen -W "sub one base" -- "$cur"))
      return
      ;;
    -o)
      COMPREPLY=($(compgen -W "nettimeout= ldif-wrap=no ldif-wrap=" -- "$cur"))
      compopt -o nospace 2>/dev/null
      return
      ;;
    -a)
      COMPREPLY=($(compgen -W "never search find always" -- "$cur"))
      return
      ;;
    -E)
      COMPREPLY=($(compgen -W "pr=" -- "$cur"))
      compopt -o nospace 2>/dev/null
      return
      ;;
    -H | -p | -b | -D | -w | -z | -l | -d | -S | --macro)
      return
      ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$(_qorhost_words "$program" options)" -- "$cur"))
    return
  fi
  # A command until one is given, then nothing of qorhost's own.
  local i
  for ((i = 1; i < COMP_CWORD; i++)); do
    if _qorhost_words "$program" commands | grep -qx -- "${COMP_WORDS[i]}"; then return; fi
  done
  COMPREPLY=($(compgen -W "$(_qorhost_words "$program" commands)" -- "$cur"))
}

complete -F _qorhost qorhost
