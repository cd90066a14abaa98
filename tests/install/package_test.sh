#!/usr/bin/env bash
# The Debian package, unpacked into a scratch root (dpkg -x), holds the documented
# layout, its desktop entry and manual pages are well formed, and both programs run
# from there. Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack"; }
deb=$(ls "$scratch"/pkg/*.deb)
echo "package: $(basename "$deb")"
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
# Found by dpkg-shlibdeps from the binaries, not written by hand.
[[ $depends == *libqt6widgets6* && $depends == *libc6* ]] || fail "Depends lacks the linked libraries"
[[ $(dpkg-deb --field "$deb" Version) == "$version" ]] || fail "package version"

root=$scratch/root
dpkg -x "$deb" "$root"
(cd "$root" && find . -type f | sed 's|^\./||' | sort) >"$scratch/files"
{
  printf '%s\n' usr/bin/qel-db-rekasto usr/bin/rekasto \
    usr/share/applications/qel-db-rekasto.desktop \
    usr/share/bash-completion/completions/rekasto \
    usr/share/icons/hicolor/256x256/apps/qel-db-rekasto.png \
    usr/share/icons/hicolor/32x32/apps/qel-db-rekasto.png \
    usr/share/icons/hicolor/scalable/apps/qel-db-rekasto.svg \
    usr/share/man/man1/qel-db-rekasto.1.gz usr/share/man/man1/rekasto.1.gz
  (cd "$build/samples/demo" && ls | sed 's|^|usr/share/qel-db-rekasto/demo/|')
} | sort >"$scratch/expected"
diff -u "$scratch/expected" "$scratch/files" || fail "installed files differ from the expected layout"

desktop-file-validate "$root/usr/share/applications/qel-db-rekasto.desktop" || fail "desktop entry"
for size in 32 256; do
  identify -format '%wx%h\n' "$root/usr/share/icons/hicolor/${size}x$size/apps/qel-db-rekasto.png" |
    grep -qx "${size}x$size" || fail "icon ${size}x$size has another size"
done
for page in rekasto qel-db-rekasto; do
  warnings=$(zcat "$root/usr/share/man/man1/$page.1.gz" | LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8 -K utf8 2>&1)
  [[ -z $warnings ]] || fail "man page $page: $warnings"
  zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q "Qel DB Rekasto $version" || fail "man page $page version"
done
completed=$(bash -c 'source "$1"; COMP_WORDS=(rekasto reb); COMP_CWORD=1; _rekasto; echo "${COMPREPLY[*]}"' _ \
  "$root/usr/share/bash-completion/completions/rekasto")
[[ $completed == rebuild ]] || fail "completion of 'rekasto reb' gave '$completed'"

bin=$root/usr/bin
[[ $("$bin/rekasto" --version) == "rekasto $version" ]] || fail "rekasto --version"
[[ $("$bin/qel-db-rekasto" --version) == "qel-db-rekasto $version" ]] || fail "qel-db-rekasto --version"
demo=$root/usr/share/qel-db-rekasto/demo
"$bin/rekasto" verify "$demo/CUSTOMER.DB" || fail "verify of a healthy demo table"
set +e
summary=$("$bin/rekasto" verify -qr "$demo" | tail -n 1)
status=$?
set -e
[[ $status -eq 1 && $summary == "6 tables: 2 clean, 4 with problems, 0 not checked" ]] ||
  fail "verify -r of the demo folder: '$summary'"

# The window starts on the offscreen platform, for a scratch user, and keeps running
# until stopped.
mkdir -p "$scratch/home"
set +e
HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_DATA_HOME=$scratch/home/.local/share \
  QT_QPA_PLATFORM=offscreen timeout 4 "$bin/qel-db-rekasto" >"$scratch/window.log" 2>&1
status=$?
set -e
[[ $status -eq 124 ]] || { cat "$scratch/window.log"; fail "the window ended by itself with status $status"; }
echo "package layout and programs OK"
