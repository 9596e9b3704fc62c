# shellcheck shell=bash
# Stopping a Samba domain controller of scripts/samba-ad-up, for
# samba-ad-down and samba-ad-restart. Sourced, not run.

# A process id counts only while it still runs the program it was recorded
# for, so a reused id is never signalled. Samba's processes rename
# themselves ("samba: root process"); the watcher keeps its name.
runs() {
  local pid="$1" what="$2"
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "$what"
}

stop() {
  local pid="$1" what="$2"
  runs "$pid" "$what" || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    runs "$pid" "$what" || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# samba_ad_stop DIR: ends the root process recorded in DIR/samba.pid and
# what it left behind.
samba_ad_stop() {
  local dir="$1" pid="" left
  # Samba's root process ends its task processes when it ends; those left
  # behind by a killed root process are in its session (samba-ad-up starts it
  # with setsid) and are ended one by one.
  [ -f "$dir/samba.pid" ] && pid="$(cat "$dir/samba.pid")"
  stop "$pid" "samba: root process"
  if [ -n "$pid" ]; then
    for left in $(ps -o pid= -s "$pid" 2>/dev/null); do
      if runs "$left" "samba"; then kill -KILL "$left" 2>/dev/null || true; fi
    done
  fi
}
