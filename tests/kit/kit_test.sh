#!/usr/bin/env bash
# The developer kit as an integrator meets it, from the built tree:
#
#   kit_test.sh install SOURCE BUILD   cmake --install into a scratch prefix
#   kit_test.sh package SOURCE BUILD   cpack -G DEB, then dpkg -x into a scratch root
#
# Either way the installed tree is checked (layout, no path of the source or
# build tree in any file, every public header compiles as C99), the example
# host is built against it and expands, compares and reads against both the
# embedded directory and a private slapd (scripts/slapd-up) holding the same
# entries, and the installed qorhost finds its module without environment
# variables. The package must also come with its debug symbols in a
# qorldap-dbgsym package, and put its libraries in the multiarch folder.
set -euo pipefail

mode="$1" source="$2" build="$3"
scratch="$(mktemp -d)"
SLAPD_DIR=""
trap '[ -z "$SLAPD_DIR" ] || "$source/scripts/slapd-down" "$SLAPD_DIR"; rm -rf "$scratch"' EXIT
# Nothing may come from the environment: the kit finds its plugins itself.
unset QOR_EXTENSION_PATH LDAP_HOST LDAP_BASE LDAP_PORT LDAP_BINDDN LDAP_BINDPW LD_LIBRARY_PATH

fail() {
  echo "kit_test: $*" >&2
  exit 1
}

expected="cn=carol-pager,ou=subscribers,o=example
cn=alice-phone,ou=subscribers,o=example
cn=alice-desk,ou=subscribers,o=example
cn=bob-phone,ou=subscribers,o=example"
# The same entries in an embedded directory (a copy: it is written to) and
# in a private slapd on loopback, which ends with this script.
seeds=("$source/examples/directory.ldif" "$source/tests/kit/numbers.ldif")
slapd_up=("$source/scripts/slapd-up" --dir "$scratch/slapd" --owner $$)
for seed in "${seeds[@]}"; do
  cat "$seed" && echo
  slapd_up+=(--ldif "$seed")
done >"$scratch/directory.ldif"
directory="ldif:$scratch/directory.ldif"
"${slapd_up[@]}" >"$scratch/slapd.env" || fail "slapd did not start"
# shellcheck disable=SC1091
. "$scratch/slapd.env"

# The prefix's library directory: the one holding libqorkernel.so.
libdir_of() {
  dirname "$(find "$1" -name 'libqorkernel.so' | head -n 1)"
}

check_layout() {
  local prefix="$1" libdir
  libdir="$(libdir_of "$prefix")"
  for file in bin/qorhost include/qorldap/table.h include/qorldap/abi/compat.h \
    include/qorkernel/qorkernel.h include/vqeldap/options.h share/qorldap/qorldap.schema \
    share/qorldap/qorldap-389.ldif share/qorldap/qorldap-ad.ldif \
    share/man/man1/qorhost.1 share/man/man7/qorldap.7 share/man/man3/qorkernel.3 \
    share/man/man3/dsexpgrp.3 share/doc/qorldap/manual.md share/doc/qorldap/README.md; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
  done
  for file in qorldap/libqorldap.so qorldap/libvqeldap.so pkgconfig/qorldap.pc \
    cmake/qorldap/qorldapConfig.cmake; do
    [ -f "$libdir/$file" ] || fail "$file is not in the library directory"
  done
  [ -z "$(find "$libdir" -maxdepth 1 \( -name 'libqorldap.so*' -o -name 'libvqeldap.so*' \))" ] ||
    fail "a plugin lies in the public library directory"
  local soname
  soname="$(objdump -p "$libdir/libqorkernel.so" | awk '$1 == "SONAME" { print $2 }')"
  [ "$soname" = "libqorkernel.so.1" ] || fail "libqorkernel.so's soname is '$soname'"
  # Every path the installed README names is there.
  local named
  while IFS= read -r named; do
    named="${named//LIBDIR/${libdir#"$prefix"/}}"
    [ -e "$prefix/$named" ] || fail "the installed README names $named, which is not installed"
  done < <(grep -oE '`(bin|include|share|LIBDIR)/[^` ]*`' "$prefix/share/doc/qorldap/README.md" | tr -d '`')
  local leaks
  leaks="$(grep -rlF -- "$source" "$prefix" || true)"
  [ -z "$leaks" ] || fail "installed files name the source or build tree: $leaks"
}

check_headers_are_c99() {
  local prefix="$1"
  while IFS= read -r header; do
    printf '#include <%s>\n' "${header#"$prefix/include/"}" |
      gcc -std=c99 -pedantic-errors -Wall -Wextra -Werror -I"$prefix/include" -x c -fsyntax-only - ||
      fail "$header does not compile as C99"
  done < <(find "$prefix/include" -name '*.h')
  # The layout checks must still catch a wrong layout in C99.
  printf '#include <qorldap/records.h>\nQOR_ASSERT_SIZE(dsent, 17);\n' |
    gcc -std=c99 -pedantic-errors -I"$prefix/include" -x c -fsyntax-only - 2>/dev/null &&
    fail "a wrong layout check compiles in C99"
  return 0
}

# Runs the example against one directory: its exit status and what it
# prints must be exactly these.
expect() {
  local program="$1" host="$2" status="$3" want="$4" output code=0
  shift 4
  output="$("$program" "$host" o=example "$@")" || code=$?
  if [ "$code" -ne "$status" ] || [ "$output" != "$want" ]; then
    fail "$program $host o=example $*: exited $code, not $status, and printed: $output"
  fi
}

# Expand, compare (both answers carry the error bit; the example tells
# them from failures with the header's macro) and read (each value with the
# getter its text calls for), in the embedded directory and in slapd.
run_example() {
  local program="$1" host alice=uid=alice,ou=people,o=example
  for host in "$directory" "$SLAPD_URI"; do
    expect "$program" "$host" 0 "$expected" cn=all,ou=groups,o=example
    expect "$program" "$host" 3 "no entry has the DN cn=none,o=example" cn=none,o=example
    expect "$program" "$host" 0 "$alice holds mail: alice@example.org" \
      "$alice" compare mail alice@example.org
    expect "$program" "$host" 3 "$alice does not hold mail: x@example.org" \
      "$alice" compare mail x@example.org
    expect "$program" "$host" 0 "employeeNumber (long): 1001" "$alice" read employeeNumber
    expect "$program" "$host" 0 "telephoneNumber (text): +1 555 0101" "$alice" read telephoneNumber
    expect "$program" "$host" 0 "description (double): 3.75
description (int): -12
description (text): 2147483648" cn=meter,ou=subscribers,o=example read description
    expect "$program" "$host" 0 "audio (binary): 5 bytes" uid=erin,ou=people,o=example read audio
    expect "$program" "$host" 3 "$alice has no audio" "$alice" read audio
    expect "$program" "$host" 3 "uid=nobody,o=example: no such entry" uid=nobody,o=example read mail
  done
}

build_with_pkg_config() {
  local prefix="$1" libdir
  libdir="$(libdir_of "$prefix")"
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  # The build line that the installed example's own comment gives, run as
  # a reader copies it, so that the line and the kit cannot drift apart.
  local line
  line="$(sed -n '/^ \*   cc /,/-o example_host$/p' "$prefix/share/doc/qorldap/examples/example_host.c" |
    sed 's/^ \* *//; s/\\$//' | tr '\n' ' ')"
  [ -n "$line" ] || fail "the installed example gives no build line"
  mkdir -p "$scratch/by_comment"
  cp "$prefix/share/doc/qorldap/examples/example_host.c" "$scratch/by_comment/"
  (cd "$scratch/by_comment" && eval "$line") || fail "the example's own build line fails: $line"
  run_example "$scratch/by_comment/example_host"
  # shellcheck disable=SC2046
  gcc -std=c99 -pedantic-errors -Wall -Wextra -Werror "$source/examples/host/example_host.c" \
    $(pkg-config --cflags --libs qorldap) -Wl,-rpath,"$(pkg-config --variable=libdir qorldap)" \
    -o "$scratch/example_pkgconfig"
  [ "$(pkg-config --variable=plugindir qorldap)" -ef "$libdir/qorldap" ] ||
    fail "pkg-config's plugindir is not the plugin folder"
  case "$(pkg-config --variable=libdir qorldap)" in
    *//*) fail "pkg-config's libdir holds a doubled slash: $(pkg-config --variable=libdir qorldap)" ;;
  esac
  run_example "$scratch/example_pkgconfig"
}

build_with_find_package() {
  local prefix="$1"
  cmake -S "$source/examples/host" -B "$scratch/example" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/example.log" 2>&1 ||
    { cat "$scratch/example.log"; fail "the example does not configure with find_package"; }
  cmake --build "$scratch/example" >>"$scratch/example.log" 2>&1 ||
    { cat "$scratch/example.log"; fail "the example does not build with find_package"; }
  run_example "$scratch/example/example_host"
}

check_qorhost() {
  local prefix="$1" output status libdir
  output="$("$prefix/bin/qorhost" -H "$directory" -b o=example expand cn=all,ou=groups,o=example --dn-only)" ||
    fail "the installed qorhost failed"
  [ "$output" = "$expected" ] || fail "the installed qorhost printed: $output"
  # A copy with no module beside it says where it looked (the same way from
  # bin/ to the plugin folder) and fails.
  libdir="$(libdir_of "$prefix")"
  libdir="${libdir#"$prefix"/}"
  mkdir -p "$scratch/elsewhere/bin"
  cp "$prefix/bin/qorhost" "$scratch/elsewhere/bin/"
  status=0
  output="$("$scratch/elsewhere/bin/qorhost" -H "$directory" -b o=example \
    expand cn=all,ou=groups,o=example 2>&1)" || status=$?
  [ "$status" -ne 0 ] || fail "a qorhost without its module succeeded"
  case "$output" in
    *"$scratch/elsewhere/$libdir/qorldap/libqorldap.so"*) ;;
    *) fail "a qorhost without its module did not say where it looked: $output" ;;
  esac
}

has_debug_info() {
  [[ "$(readelf -S "$1")" == *.debug_info* ]]
}

# A package is for running: its binaries carry no debug sections. Their
# symbols are in the package's dbgsym package, one file for each binary,
# named by the binary's build id and carrying that id itself.
check_debug_package() {
  local package="$1" root="$2" dbgsym binary id debug count=0
  dbgsym="$(dirname "$package")/qorldap-dbgsym_$(basename "$package" .deb | sed 's/^qorldap_//').ddeb"
  [ -f "$dbgsym" ] || fail "there is no debug symbols package $dbgsym"
  [ "$(dpkg-deb -f "$dbgsym" Depends)" = "qorldap (= $(dpkg-deb -f "$package" Version))" ] ||
    fail "the debug symbols package does not depend on this very package"
  dpkg -x "$dbgsym" "$scratch/debug"
  while IFS= read -r binary; do
    [ "$(head -c 4 "$binary")" = $'\x7fELF' ] || continue
    count=$((count + 1))
    ! has_debug_info "$binary" || fail "${binary#"$root"} is not stripped"
    id="$(readelf -n "$binary" | awk '/Build ID:/ { print $3 }')"
    [ -n "$id" ] || fail "${binary#"$root"} has no build id"
    debug="$scratch/debug/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
    [ -f "$debug" ] || fail "the debug symbols package has no ${debug#"$scratch/debug"} for ${binary#"$root"}"
    [ "$(readelf -n "$debug" | awk '/Build ID:/ { print $3 }')" = "$id" ] ||
      fail "${debug#"$scratch/debug"} is not made from ${binary#"$root"}"
    has_debug_info "$debug" || fail "${debug#"$scratch/debug"} holds no debug information"
  done < <(find "$root" -type f)
  # qorhost, the kernel, the module and the extension.
  [ "$count" -eq 4 ] || fail "the package holds $count binaries, not 4"
}

check_kit() {
  check_layout "$1"
  check_headers_are_c99 "$1"
  build_with_pkg_config "$1"
  build_with_find_package "$1"
  check_qorhost "$1"
}

case "$mode" in
  install)
    cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
    check_kit "$scratch/prefix"
    # The install may move: everything is found from where it lies.
    mv "$scratch/prefix" "$scratch/moved"
    LD_LIBRARY_PATH="$(libdir_of "$scratch/moved")" run_example "$scratch/example_pkgconfig"
    check_qorhost "$scratch/moved"
    ;;
  package)
    # Into a folder of its own, so that no package of an earlier run is
    # taken for one of this run.
    (cd "$build" && cpack -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1) ||
      { cat "$scratch/cpack.log"; fail "cpack -G DEB failed"; }
    packages=("$scratch"/package/qorldap_*.deb)
    [ "${#packages[@]}" -eq 1 ] && [ -f "${packages[0]}" ] || fail "cpack made ${packages[*]}"
    package="${packages[0]}"
    depends="$(dpkg-deb -f "$package" Depends)"
    case "$depends" in
      *libldap*) ;;
      *) fail "the package does not depend on the libldap runtime: $depends" ;;
    esac
    dpkg -x "$package" "$scratch/root"
    check_debug_package "$package" "$scratch/root"
    # The library folder is Debian's multiarch one (lib/x86_64-linux-gnu).
    libdir="$(libdir_of "$scratch/root/usr")"
    [ "$libdir" = "$scratch/root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)" ] ||
      fail "the package's library folder is ${libdir#"$scratch/root"}, not the multiarch one"
    check_kit "$scratch/root/usr"
    ;;
  *) fail "unknown mode $mode" ;;
esac
echo "kit_test $mode: the kit installs, builds the example both ways and expands the group"
