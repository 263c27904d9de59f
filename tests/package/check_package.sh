#!/usr/bin/env bash
# Builds the Debian package from a build tree into a temporary folder, unpacks it and checks that a
# desktop user gets what the menus, software centres and the program itself need.
#   check_package.sh BUILD_DIR VERSION
set -euo pipefail
trap 'echo "check_package.sh: stopped at line $LINENO: $BASH_COMMAND failed" >&2' ERR
build=$1
version=$2
app_id=io.github.recvhtml.RecvHtml

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log" >&2
  echo "FAIL: cpack could not build the package" >&2
  exit 1
fi
shopt -s nullglob
debs=("$tmp"/out/recv-html_"$version"_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  ls -l "$tmp/out" >&2
  echo "FAIL: expected one recv-html_${version}_*.deb, found ${#debs[@]}" >&2
  exit 1
fi
deb=${debs[0]}
dpkg-deb -x "$deb" "$tmp/root"
root=$tmp/root

# Exactly these files, and nothing a build or test rule might install by mistake.
expected=$(printf '%s\n' \
  "usr/bin/recv-html" \
  "usr/libexec/recv-html/recv-html-proxy" \
  "usr/share/applications/$app_id.desktop" \
  "usr/share/icons/hicolor/scalable/apps/$app_id.svg" \
  "usr/share/metainfo/$app_id.metainfo.xml" | sort)
actual=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)
if [ "$actual" != "$expected" ]; then
  fail "package files differ; wanted: ${expected//$'\n'/ }; found: ${actual//$'\n'/ }"
fi

bin=$root/usr/bin/recv-html
helper=$root/usr/libexec/recv-html/recv-html-proxy
desktop=$root/usr/share/applications/$app_id.desktop
icon=$root/usr/share/icons/hicolor/scalable/apps/$app_id.svg
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml

programs=()
for program in "$bin" "$helper"; do
  [ -f "$program" ] || continue
  programs+=("$program")
  name=$(basename "$program")
  [ -x "$program" ] || fail "$name is not executable"
  info=$(file -b "$program")
  [[ "$info" == ELF* ]] || fail "$name is not an ELF program: $info"
  [[ "$info" == *", stripped"* ]] || fail "$name is not stripped: $info"
done
if [ -f "$icon" ]; then
  info=$(file -b "$icon")
  [[ "$info" == *"SVG"* ]] || fail "the icon is not SVG: $info"
fi

if [ -f "$desktop" ]; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
  exec_key=$(sed -n 's/^Exec=//p' "$desktop")
  icon_key=$(sed -n 's/^Icon=//p' "$desktop")
  [ "$exec_key" = recv-html ] || fail "Exec is '$exec_key', not the installed recv-html"
  [ "$icon_key" = "$app_id" ] || fail "Icon is '$icon_key', not the installed $app_id"
  for k in 'Name' 'Name\[ja\]' 'Comment' 'Comment\[ja\]'; do
    grep -q "^$k=." "$desktop" || fail "the desktop entry has no $k"
  done
fi

if [ -f "$metainfo" ]; then
  appstreamcli validate --no-net "$metainfo" >"$tmp/appstream.log" 2>&1 ||
    fail "appstreamcli rejects the metainfo:" "$(<"$tmp/appstream.log")"
  grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "the metainfo does not launch $app_id.desktop"
  grep -q "<id>$app_id</id>" "$metainfo" || fail "the metainfo's id is not $app_id"
  # Software centres show the newest release as the version: it must be the packaged one.
  newest=$(grep -o '<release version="[^"]*"' "$metainfo" | sed -n '1s/.*"\(.*\)"/\1/p')
  [ "$newest" = "$version" ] || fail "the newest release in the metainfo is '$newest', not $version"
fi

# Dependencies: the package of every library the programs link (dpkg-shlibdeps finds them), and
# those that no library names: the Japanese font, the certificate store without which every https
# page fails, and libproxy's plugins for GNOME's settings and PAC files; KDE's is recommended.
depends=$(dpkg-deb -f "$deb" Depends)
wanted=(fonts-ipafont-gothic ca-certificates libproxy1-plugin-gsettings libproxy1-plugin-webkit)
for program in "${programs[@]}"; do
  for soname in $(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }'); do
    # awk reads to the end: leaving early would kill ldconfig with SIGPIPE, which pipefail and
    # set -e would turn into a silent exit of this script.
    path=$(ldconfig -p | awk -v so="$soname" '$1 == so && /x86-64/ && !found { print $NF; found = 1 }')
    owner=$(dpkg -S "$path" 2>/dev/null || dpkg -S "$(realpath "$path")" 2>/dev/null || true)
    if [ -z "$owner" ]; then
      fail "no installed package owns $soname, which $(basename "$program") links"
    else
      wanted+=("${owner%%:*}")
    fi
  done
done
for want in "${wanted[@]}"; do
  [[ ", $depends," == *", $want"[\ ,]* ]] || fail "Depends lacks $want: $depends"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ ", $recommends," == *", libproxy1-plugin-kconfig"[\ ,]* ]] ||
  fail "Recommends lacks libproxy1-plugin-kconfig: $recommends"
[[ "$depends" != *libasan* && "$depends" != *libubsan* ]] ||
  fail "the package depends on a sanitizer runtime: $depends"
package=$(dpkg-deb -f "$deb" Package)
packaged=$(dpkg-deb -f "$deb" Version)
[ "$package" = recv-html ] || fail "the package is named $package, not recv-html"
[ "$packaged" = "$version" ] || fail "the package version is $packaged, not $version"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed for $(basename "$deb")" >&2
  exit 1
fi
echo "$(basename "$deb"): files, desktop entry, metainfo and dependencies check out"
