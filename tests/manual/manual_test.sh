#!/usr/bin/env bash
# The manual from its sources: every page renders with man -l and no groff
# warning, doc/manual.md is what the generator writes today, and pages that
# have drifted from the code (a contract gone, a status that does not exist,
# an argument renamed) stop the generator with a line that names the fault;
# and no text of the API names a command-line flag.
#
#   manual_test.sh GENERATOR SOURCE VERSION
set -euo pipefail

generator="$1" source="$2" version="$3"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "manual_test: $*" >&2
  exit 1
}

table="$source/include/qorldap/table.h"
kernel="$source/platform/kernel/include/qorkernel/qorkernel.h"
texts="$source/platform/kernel/include/qorkernel/status_text.h"
overview="$source/doc/qorldap.7.txt"

# generate OUT TABLE: the manual with TABLE in place of table.h.
generate() {
  "$generator" --man "$1/man" --markdown "$1/manual.md" --version "$version" \
    --overview "$overview" "$2" "$kernel" "$texts"
}

generate "$scratch/real" "$table" || fail "the generator refused the headers"
pages=0
while IFS= read -r page; do
  # From the manual's root, as man does, so that a .so link resolves.
  (cd "$scratch/real/man" && MANWIDTH=80 man --warnings -l "$page" \
    >"$scratch/out" 2>"$scratch/err") || fail "man -l $page failed: $(cat "$scratch/err")"
  [ ! -s "$scratch/err" ] || fail "$page: $(cat "$scratch/err")"
  grep -q "NAME" "$scratch/out" || fail "$page rendered without its NAME section"
  pages=$((pages + 1))
done < <(cd "$scratch/real/man" && find . -type f | sort)
# 27 operations, the kernel's functions, qorkernel(3) and qorldap(7).
[ "$pages" -ge 30 ] || fail "only $pages pages were written"

cmp -s "$scratch/real/manual.md" "$source/doc/manual.md" ||
  fail "doc/manual.md is stale: cmake --build BUILD --target manual-md rewrites it"

# expect_refusal NAME PERL-EDIT TEXT: the edited table.h is refused, naming TEXT.
expect_refusal() {
  perl -0pe "$2" "$table" >"$scratch/$1.h"
  cmp -s "$scratch/$1.h" "$table" && fail "$1: the edit changed nothing"
  if generate "$scratch/$1" "$scratch/$1.h" 2>"$scratch/$1.err"; then
    fail "$1: the generator accepted it"
  fi
  grep -qF -- "$3" "$scratch/$1.err" || fail "$1: the refusal does not say '$3': $(cat "$scratch/$1.err")"
}
expect_refusal missing 's/^ \* dsgint - (.*)$/ * $1/m' "dsgint has no page"
expect_refusal status 's/DS_W_NOT_FOUND/DS_W_NOT_FOUNDED/' "DS_W_NOT_FOUNDED, which is not a status"
expect_refusal argument 's/(dsexpgrp - .*?Arguments:\n \*   )handle /$1handel /s' \
  "Arguments leaves out handle"
# The headers and the kernel speak to any host: none of their texts tells a C host
# to give a command-line flag (qorhost adds its own flag hints).
flags="$(grep -rnE '(^|[^A-Za-z0-9_-])-(H|b|D|w|W|y|Z|ZZ|z|l|o|c|n|v|d|a|E|x|L|LLL|A|S|s|f|p)([] ,)"/.:;]|$)' \
  "$source/include" "$source/platform/kernel" || true)"
[ -z "$flags" ] || fail "a command-line flag in the API's texts: $flags"
echo "manual_test: $pages pages render; doc/manual.md is current; drift is refused"
