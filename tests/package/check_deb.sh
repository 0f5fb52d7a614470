#!/usr/bin/env bash
# Checks the Debian package: tests/package/check_deb.sh DEB
#
# Unpacks it into a throw-away root (dpkg-deb -x) and checks that it carries the three
# programs, the desktop entry, the icon and a manual page for each program; that its
# Depends names the Qt libraries the programs link to; and that each program, run from
# there, gives the package's version. Ends with "package: N passed, N failed".
set -euo pipefail
deb=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
version=$(dpkg-deb -f "$deb" Version)

passed=0
failed=0
check() {  # WHAT, then a command that succeeds when WHAT holds
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "  FAILED: $what"
    fi
}

programs=(korvane korvane-flash korvane-devsim)
for file in "${programs[@]/#/usr/bin/}" "${programs[@]/%/.1.gz}" \
    usr/share/applications/korvane.desktop usr/share/icons/hicolor/32x32/apps/korvane.png; do
    [[ "$file" == *.1.gz ]] && file="usr/share/man/man1/$file"
    check "$file in the package" test -f "$root/$file"
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6core6 libqt6gui6 libqt6widgets6; do
    check "Depends names $library: $depends" grep -q "\b$library\b" <<<"$depends"
done
for program in "${programs[@]}"; do
    # No display: the window's program must answer without one.
    said=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$program" --version 2>&1 || true)
    check "$program --version says '$program $version', not '$said'" test "$said" = "$program $version"
done
echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
