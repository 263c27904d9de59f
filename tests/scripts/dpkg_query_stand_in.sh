# shellcheck shell=bash disable=SC2016,SC2154
# (the formats are dpkg-query's, not the shell's; $log and $known come from the stand-in)
# The body of bootstrap_test.sh's dpkg-query: answers -W with -f=FORMAT (or --showformat=FORMAT)
# from the "status:package" lines in the file $known, logs its call to $log, and, as dpkg-query
# does, says of a package it does not know that it found none and exits 1 at the end.
echo "dpkg-query $*" >>"$log"
format='${Package}\n'
status=0
for arg in "$@"; do
  case "$arg" in
    -f=* | --showformat=*) format=${arg#*=} ;;
    -*) ;;
    *)
      found=
      while IFS=: read -r abbrev package; do
        [ "$package" = "$arg" ] || continue
        line=${format//'${db:Status-Abbrev}'/$abbrev}
        printf '%b' "${line//'${Package}'/$package}"
        found=yes
      done <"$known"
      if [ -z "$found" ]; then
        echo "dpkg-query: no packages found matching $arg" >&2
        status=1
      fi
      ;;
  esac
done
exit "$status"
