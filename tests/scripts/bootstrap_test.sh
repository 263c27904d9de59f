#!/usr/bin/env bash
# Runs the real scripts/bootstrap against simulated machines: stand-ins for dpkg-query, apt-get,
# sudo and id, first on PATH, log how they were called and answer as the machine would. Nothing is
# installed and nothing leaves this machine.
set -euo pipefail
root=$(cd "${BASH_SOURCE[0]%/*}/../.." && pwd) || {
  echo "bootstrap_test: cannot find the repository root" >&2
  exit 1
}
work=$(mktemp -d) || {
  echo "bootstrap_test: cannot make a scratch folder" >&2
  exit 1
}
trap 'rm -rf "$work"' EXIT
bash=$(command -v bash)

# A list of three packages, a section that only "bench" asks for, and one that only "fuzz" asks
# for, which shares a package with it.
mkdir -p "$work/scripts"
cp "$root/scripts/bootstrap" "$work/scripts/"
printf '%s\n' '# comment' alpha 'beta   # trailing comment' gamma '' '[bench]' delta \
  '[fuzz]' epsilon delta >"$work/scripts/packages.txt"

# The machine's other commands: all of this one's but the four that the stand-ins replace.
mkdir -p "$work/tools"
for tool in /usr/bin/*; do
  case "${tool##*/}" in
    dpkg-query | apt-get | sudo | id) ;;
    *) ln -s "$tool" "$work/tools/" ;;
  esac
done

# make_machine DIR UID DPKG SUDO APT_INSTALL_FAILS
# DPKG: "status:package" pairs, separated by ";", of the packages dpkg knows. Of any other package
# the dpkg-query stand-in says what dpkg-query says of one it never heard of, and exits 1.
make_machine() {
  local dir=$1 uid=$2 dpkg=$3 sudo=$4 apt_fails=$5
  mkdir -p "$dir/bin"
  : >"$dir/log"
  printf '%s\n' "${dpkg//;/$'\n'}" >"$dir/dpkg"
  printf '%s\n' "#!$bash" "log=$dir/log known=$dir/dpkg" \
    ". $root/tests/scripts/dpkg_query_stand_in.sh" >"$dir/bin/dpkg-query"
  printf '%s\n' "#!$bash" "echo \"apt-get \$* (as \$(id -u))\" >>$dir/log" \
    "[ $apt_fails = yes ] && [ \"\$1\" = install ] || exit 0" \
    'echo "E: Unable to locate package beta" >&2' 'exit 100' >"$dir/bin/apt-get"
  printf '%s\n' "#!$bash" "echo \${AS_ROOT:-$uid}" >"$dir/bin/id"
  if [ "$sudo" = yes ]; then
    printf '%s\n' "#!$bash" "echo \"sudo \$*\" >>$dir/log" 'AS_ROOT=0 exec "$@"' >"$dir/bin/sudo"
  fi
  chmod +x "$dir/bin/"*
}

failures=0
check() {
  local name=$1 what=$2
  shift 2
  if ! "$@"; then
    echo "FAIL $name: $what" >&2
    failures=$((failures + 1))
  fi
}

# Each machine: name | uid | what dpkg knows | sudo on PATH | apt-get install fails | arguments |
# exit status wanted | the packages apt-get must install (empty: apt-get must not run at all) |
# words the output must hold.
cases=(
  "dpkg knows none|0||yes|no||0|alpha beta gamma|installing alpha beta gamma"
  "all installed|0|ii :alpha;ii :beta;hi :gamma|yes|no||0||"
  "purged, removed, half-installed|0|ii :alpha;pn :beta;iU :gamma|yes|no||0|beta gamma|installing beta gamma"
  "config files left, reinstall wanted|0|rc :alpha;iiR:beta;ii :gamma|yes|no||0|alpha beta|installing alpha beta"
  "bench section asked for|0|ii :alpha;ii :beta;ii :gamma|yes|no|bench|0|delta|installing delta"
  "two sections share a package|0|ii :alpha;ii :beta;ii :gamma|yes|no|bench fuzz|0|delta epsilon|installing delta epsilon"
  "a section the list lacks|0|ii :alpha;ii :beta;ii :gamma|yes|no|bench test|1||has no section [test]"
  "not root, with sudo|1000|ii :alpha|yes|no||0|beta gamma|installing beta gamma"
  "not root, no sudo|1000|ii :alpha|no|no||1||no sudo. As root, run: apt-get update && apt-get install -y -qq --no-install-recommends beta gamma"
  "apt-get install fails|0|ii :alpha|yes|yes||1||Unable to locate package beta"
)

n=0
for row in "${cases[@]}"; do
  n=$((n + 1))
  IFS='|' read -r name uid dpkg sudo apt_fails args want_status want_install want_words <<<"$row"
  machine=$work/machine$n
  make_machine "$machine" "$uid" "$dpkg" "$sudo" "$apt_fails"
  status=0
  # shellcheck disable=SC2086 # the table's arguments are words
  out=$(PATH=$machine/bin:$work/tools "$bash" "$work/scripts/bootstrap" $args 2>&1) || status=$?
  log=$(<"$machine/log")
  apt=$(grep '^apt-get' <<<"$log") || true
  queries=$(grep -c '^dpkg-query' <<<"$log") || true

  check "$name" "exit status $status, wanted $want_status: $out" [ "$status" = "$want_status" ]
  # One query for all the packages, but none when bootstrap stops on its arguments: the rows that
  # stop although sudo and apt-get would work.
  if [ "$want_status" = 0 ] || [ "$apt_fails" = yes ] || [ "$sudo" = no ]; then
    check "$name" "dpkg-query must run once: $log" [ "$queries" = 1 ]
  else
    check "$name" "dpkg-query must not run: $log" [ "$queries" = 0 ]
  fi
  if [ -n "$want_install" ]; then
    check "$name" "wanted apt-get update, then the install of $want_install: $apt" [ "$apt" = \
      "apt-get update -qq (as 0)"$'\n'"apt-get install -y -qq --no-install-recommends $want_install (as 0)" ]
  elif [ "$apt_fails" = no ]; then
    check "$name" "apt-get must not run: $log" [ -z "$apt" ]
  fi
  if [ "$uid" != 0 ] && [ -n "$want_install" ]; then
    check "$name" "not root: apt-get must run through sudo: $log" grep -q "^sudo .*apt-get install" <<<"$log"
  fi
  [ -z "$want_words" ] || check "$name" "output lacks '$want_words': $out" grep -qF -- "$want_words" <<<"$out"
  [ "$want_status" = 0 ] || check "$name" "stopped without saying why: $out" grep -q "^bootstrap: " <<<"$out"
done

if [ "$failures" -ne 0 ]; then
  echo "bootstrap_test: $failures checks failed" >&2
  exit 1
fi
echo "bootstrap_test: ${#cases[@]} machines as expected"
