# shellcheck shell=bash
# The pieces of scripts/ds389-up that scripts/ds389-restart and
# scripts/ds389-down share: sourced, not run. DIR is always the folder that
# ds389-up made, which is also the instance's PREFIX.

# The instance's name; its paths are all under DIR, so one name serves every
# folder.
DS389_INSTANCE=qorldap

ds389_die() {
  echo "${0##*/}: $*" >&2
  exit 1
}

ds389_find_tool() {
  local name="$1" d
  for d in ${PATH//:/ } /usr/sbin /usr/local/sbin /sbin; do
    [ -x "$d/$name" ] && { echo "$d/$name"; return 0; }
  done
  ds389_die "$name not found (Debian: apt-get install 389-ds-base ldap-utils)"
}

ds389_config_dir() { echo "$1/etc/dirsrv/slapd-$DS389_INSTANCE"; }
ds389_log_dir() { echo "$1/var/log/dirsrv/slapd-$DS389_INSTANCE"; }
ds389_pid_file() { echo "$1/run/dirsrv/slapd-$DS389_INSTANCE.pid"; }

# A value of cn=config as dse.ldif holds it (read while the server is down or
# up; the server rewrites the file on every change).
ds389_config() {
  sed -n "/^dn: cn=config\$/,/^\$/s/^$2: //Ip" "$(ds389_config_dir "$1")/dse.ldif"
}

ds389_pick_port() {
  local p
  # Below the kernel's usual ephemeral range, so outgoing connections do not
  # take it between the pick and the bind.
  for _ in $(seq 1 50); do
    p="$(shuf -i 20000-32000 -n 1)"
    if ! command -v ss >/dev/null 2>&1 || [ -z "$(ss -Hltn "sport = :$p" 2>/dev/null)" ]; then
      echo "$p"
      return 0
    fi
  done
  echo "$p"
}

# dscreate's self-signed certificate names the host only by DNS (localhost);
# clients that connect to 127.0.0.1 check an IP address. A new server
# certificate from the same self-signed CA names both.
ds389_reissue_server_cert() {
  local certs ca names="dns:localhost,ip:127.0.0.1"
  certs="$(ds389_config_dir "$1")"
  ca="$1/etc/dirsrv/ssca"
  certutil -R -d "sql:$certs" -f "$certs/pwdfile.txt" -z "$certs/noise.txt" -a \
    -s "CN=localhost,O=qorldap test" -k rsa -g 2048 --extSAN "$names" -o "$certs/qor.csr" >/dev/null 2>&1
  certutil -C -d "sql:$ca" -f "$ca/pwdfile.txt" -c Self-Signed-CA -a -v 2 \
    --extSAN "$names" -i "$certs/qor.csr" -o "$certs/qor.crt" >/dev/null 2>&1 </dev/null
  certutil -D -d "sql:$certs" -f "$certs/pwdfile.txt" -n Server-Cert
  certutil -A -d "sql:$certs" -f "$certs/pwdfile.txt" -n Server-Cert -t ",," -a -i "$certs/qor.crt"
  rm -f "$certs/qor.csr" "$certs/qor.crt"
}

# The server listens on 127.0.0.1 only: dse.ldif is edited before the first
# start.
ds389_listen_on_loopback() {
  local dse
  dse="$(ds389_config_dir "$1")/dse.ldif"
  sed -i '/^dn: cn=config$/a nsslapd-listenhost: 127.0.0.1\nnsslapd-securelistenhost: 127.0.0.1' "$dse"
}

# ns-slapd detaches once it listens; its pid file names the server. A
# server that was killed leaves its lock behind, and ns-slapd refuses to
# start while a lock names a process that may still run: the locks of
# processes that are gone (or are no ns-slapd now) are removed first.
ds389_start() {
  local dir="$1" pid_file lock
  pid_file="$(ds389_pid_file "$dir")"
  rm -f "$pid_file"
  for lock in "$dir/run/lock/dirsrv/slapd-$DS389_INSTANCE/server"/*; do
    [ -e "$lock" ] || continue
    grep -qs ns-slapd "/proc/${lock##*/}/cmdline" || rm -f "$lock"
  done
  mkdir -p "$(dirname "$pid_file")"
  PREFIX="$dir" ns-slapd -D "$(ds389_config_dir "$dir")" -i "$pid_file" </dev/null \
    >>"$dir/ns-slapd.out" 2>&1 || ds389_die "ns-slapd did not start"
  ds389_wait_until_ready "$dir" "ldap://127.0.0.1:$(ds389_config "$dir" nsslapd-port)"
}

ds389_wait_until_ready() {
  local dir="$1" uri="$2"
  for _ in $(seq 1 200); do
    ldapsearch -x -H "$uri" -s base -b "" -LLL 1.1 >/dev/null 2>&1 && [ -s "$(ds389_pid_file "$dir")" ] &&
      return 0
    sleep 0.1
  done
  ds389_die "389 DS does not answer on $uri"
}

# The example directory's access rules: everyone reads everything but
# userPassword, the members of cn=administrators write everything, and a
# person may change their own userPassword. ARGS are ldapmodify's connection
# options, then the suffix.
ds389_add_access_rules() {
  local suffix="${*: -1}"
  ldapmodify "${@:1:$#-1}" <<EOF
dn: $suffix
changetype: modify
add: aci
aci: (targetattr != "userPassword")(version 3.0; acl "qorldap read"; allow (read, search, compare) userdn = "ldap:///anyone";)
aci: (targetattr = "*")(version 3.0; acl "qorldap administrators"; allow (write, add, delete) groupdn = "ldap:///cn=administrators,$suffix";)
aci: (targetattr = "userPassword")(version 3.0; acl "qorldap own password"; allow (write) userdn = "ldap:///self";)
EOF
}
