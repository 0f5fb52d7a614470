#!/usr/bin/env bash
# Checks the Debian package: tests/package/check_deb.sh DEB
#
# Unpacks it into a throw-away folder (dpkg-deb -x) and checks that it carries the three
# programs, the desktop entries of the window and the station window (which
# desktop-file-validate finds clean), the icon at every size of its theme, a manual page
# for each program, a machine-readable copyright file, a changelog of the package's version
# and the operator's and line guides with the pictures they show; that each manual page
# reads the same in any locale (plain ASCII, so man shows no "?" for a character) with
# every section and a synopsis line for each form the program's help gives, and that man
# finds nothing to warn of; that its Depends names the Qt libraries the programs link to
# and the SQLite driver, its Recommends the PostgreSQL one; that each program, run from
# there, gives the package's version; and that lintian finds no error and no warning in it.
#
# Then, as root, it installs the package as a bench machine would, with
# `apt-get install --no-install-recommends`, into a fresh Debian 12 root (debootstrap
# --variant=minbase from the machine's own Debian mirror, kept as a tarball in the cache
# folder, KORVANE_CACHE_DIR or ~/.cache/korvane, so that only the first run makes it), and
# there packs a package with korvane-flash and flashes it into korvane-devsim with the
# station's own journal in its default place: the run succeeds, the device holds its
# serial number and the journal the run. Ends with "package: N passed, N failed".
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
deb=$(realpath "$1")
"$root/scripts/bootstrap.sh" package
work=$(mktemp -d)
unpacked=$work/unpacked
fresh=$work/fresh
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    local mount
    for mount in "$fresh/dev/pts" "$fresh/proc"; do
        if mountpoint -q "$mount"; then umount "$mount" || true; fi
    done
    # Never remove a tree that still has something of the machine's mounted in it.
    if grep -q " $work/" /proc/self/mounts; then
        echo "check_deb: $work still has mounts; left in place" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$unpacked"
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

summary() {
    echo "package: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
give_up() {  # WHAT that failed, after which nothing more can be checked
    check "$1" false
    summary || true
    exit 1
}

programs=(korvane korvane-flash korvane-devsim)
doc=usr/share/doc/korvane
desktop_entries=(usr/share/applications/korvane.desktop usr/share/applications/korvane-station.desktop)
icons=()
for size in 16 32 48 64 128 256; do icons+=("usr/share/icons/hicolor/${size}x$size/apps/korvane.png"); done
for file in "${programs[@]/#/usr/bin/}" "${programs[@]/%/.1.gz}" "${desktop_entries[@]}" \
    "${icons[@]}" "$doc/copyright" "$doc/changelog.gz" "$doc/operator-guide.md" "$doc/line-setup.md"; do
    [[ "$file" == *.1.gz ]] && file="usr/share/man/man1/$file"
    check "$file in the package" test -f "$unpacked/$file"
done
for icon in "${icons[@]}"; do
    size=${icon#usr/share/icons/hicolor/}
    size=${size%%/*}
    said=$(file -b "$unpacked/$icon" 2>/dev/null || true)
    check "$icon is a ${size/x/ x } PNG: $said" grep -q "PNG image data, ${size/x/ x }," <<<"$said"
done
# Every picture a guide shows, beside it.
for guide in "$doc/operator-guide.md" "$doc/line-setup.md"; do
    for picture in $(grep -o '](images/[^)]*)' "$unpacked/$guide" 2>/dev/null | sed 's/^](//; s/)$//'); do
        check "$picture, which $(basename "$guide") shows, in the package" test -f "$unpacked/$doc/$picture"
    done
done
for entry in "${desktop_entries[@]}"; do
    said=$(desktop-file-validate "$unpacked/$entry" 2>&1 || echo "(exit status $?)")
    check "desktop-file-validate finds $entry clean: $said" test -z "$said"
done
grep -q '^Exec=korvane --station$' "$unpacked/${desktop_entries[1]}" 2>/dev/null &&
    station_exec=yes || station_exec=no
check "the station window's entry starts korvane --station" test "$station_exec" = yes

# The manual pages. man is told the terminal is 80 columns wide and, with LC_ALL=C, that it
# can show ASCII only: a character the page has beyond it would come out as "?".
sections=(NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES ENVIRONMENT EXAMPLES "SEE ALSO")
for program in "${programs[@]}"; do
    page=$unpacked/usr/share/man/man1/$program.1.gz
    beyond=$(zcat "$page" 2>/dev/null | LC_ALL=C grep -n '[^ -~	]' || true)
    check "$program.1 is plain ASCII: $beyond" test -z "$beyond"
    shown=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$page" 2>"$work/man-warnings") || true
    check "man finds nothing to warn of in $program.1: $(cat "$work/man-warnings")" test ! -s "$work/man-warnings"
    questions=$(grep -n '?' <<<"$shown" || true)
    check "$program.1 shows no ?: $questions" test -z "$questions"
    for section in "${sections[@]}"; do
        check "$program.1 has the section $section" grep -qx "$section" <<<"$shown"
    done
    # Each form of the help's synopsis starts a line of the page's, and nothing else does.
    forms=$("$unpacked/usr/bin/$program" --help 2>/dev/null | grep -Ec '^(Usage|  or): ' || true)
    synopsis=$(sed -n '/^SYNOPSIS$/,/^DESCRIPTION$/p' <<<"$shown" | grep -c "^       $program\b" || true)
    check "$program.1's synopsis has its $forms forms on a line each, not $synopsis" \
        test "$synopsis" -eq "$forms" -a "$forms" -gt 0
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6core6 libqt6gui6 libqt6widgets6 libqt6sql6-sqlite libjs-chart.js; do
    check "Depends names $library: $depends" grep -q "\b$library\b" <<<"$depends"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
check "Recommends names libqt6sql6-psql: $recommends" grep -q '\blibqt6sql6-psql\b' <<<"$recommends"
for program in "${programs[@]}"; do
    # No display: the window's program must answer without one.
    said=$(env -u DISPLAY -u WAYLAND_DISPLAY "$unpacked/usr/bin/$program" --version 2>&1 || true)
    check "$program --version says '$program $version', not '$said'" test "$said" = "$program $version"
done
changelog_version=$(zcat "$unpacked/$doc/changelog.gz" 2>/dev/null |
    dpkg-parsechangelog -l - -S Version 2>/dev/null || true)
check "the changelog's entry is version $version, not '$changelog_version'" \
    test "$changelog_version" = "$version"

# The copyright file in the machine-readable format (lintian reads only whether it is
# there): its Format line, each Files paragraph with Copyright and License, and the text of
# every licence such a paragraph names without giving it.
dep5_problem=$(awk -v RS= '
    NR == 1 && !/^Format: https:\/\/www\.debian\.org\/doc\/packaging-manuals\/copyright-format\/1\.0\/?(\n|$)/ {
        print "no Format line"; exit
    }
    {
        files = copyright = text = in_license = 0; license = ""
        n = split($0, lines, "\n")
        for (i = 1; i <= n; i++) {
            if (lines[i] ~ /^Files:/) files = 1
            else if (lines[i] ~ /^Copyright:/) copyright = 1
            else if (lines[i] ~ /^License:/) { license = substr(lines[i], 10); in_license = 1; continue }
            if (in_license && lines[i] ~ /^ /) text = 1
            else in_license = 0
        }
        if (files && (!copyright || license == "")) { print "a Files paragraph without Copyright or License"; exit }
        sub(/ with [^ ]+ exception$/, "", license)
        k = split(license, names, / (and|or) /)
        for (j = 1; j <= k; j++) if (files && !text) wanted[names[j]] = 1; else if (!files && text) given[names[j]] = 1
    }
    END { for (name in wanted) if (!(name in given)) print "no text of the licence " name }
' "$unpacked/$doc/copyright" 2>&1 || true)
check "the copyright file is machine-readable: ${dep5_problem:-}" test -z "$dep5_problem"

lintian_out=$(lintian --fail-on error,warning --display-info --pedantic "$deb" 2>&1) && lintian_status=0 || lintian_status=$?
lintian_out=$(grep -v '^running with root privileges' <<<"$lintian_out" || true)
[ -n "$lintian_out" ] && echo "$lintian_out" | sed 's/^/  lintian: /'
check "lintian finds no error or warning" test "$lintian_status" -eq 0

# --- Installed into a fresh Debian 12 root -------------------------------------------
suite=bookworm
if [ "$(id -u)" -ne 0 ]; then
    echo "  SKIPPED: installing into a fresh Debian $suite root needs root"
    summary
    exit
fi
cache=${KORVANE_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/korvane}
base=$cache/debian-$suite-minbase-$(dpkg --print-architecture).tar.gz
archives=$cache/debian-$suite-archives
mkdir -p "$cache" "$archives" "$fresh"

# The machine's own Debian mirror: the URI of each apt source that serves the suite, then
# Debian's own as the last resort; the first is used.
mirrors_of() {
    local suite=$1 file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] && awk -v suite="$suite" '
            function flush() {
                if (deb && (suites " ") ~ (" " suite " ") && uri != "") print uri
                deb = 0; suites = uri = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^Types:/ { deb = ($0 " ") ~ / deb / }
            /^Suites:/ { suites = substr($0, 8) }
            /^URIs:/ { uri = $2 }
            END { flush() }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] && sed -E 's/\[[^]]*\]//' "$file" |
            awk -v suite="$suite" '$1 == "deb" && $3 == suite { print $2 }'
    done
    echo http://deb.debian.org/debian
}

start=$SECONDS
if [ -f "$base" ]; then
    tar --numeric-owner -xzf "$base" -C "$fresh" || { rm -f "$base"; give_up "$base unpacks"; }
    echo "  a fresh Debian $suite root from $base: $((SECONDS - start)) s"
else
    mirror=$(mirrors_of "$suite")
    mirror=${mirror%%$'\n'*}
    debootstrap --variant=minbase "$suite" "$fresh" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -n 20 "$work/debootstrap.log"; give_up "debootstrap makes a Debian $suite root from $mirror"; }
    chroot "$fresh" apt-get clean
    tar --numeric-owner -czf "$base.$$" -C "$fresh" . && mv "$base.$$" "$base"
    echo "  a fresh Debian $suite root debootstrapped from $mirror, kept as $base: $((SECONDS - start)) s"
fi

in_fresh=(chroot "$fresh" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8)
mount -t proc proc "$fresh/proc"
mount --bind /dev/pts "$fresh/dev/pts"

# The packages apt fetches are kept beside the base root, so that later runs fetch only
# what the mirror has changed since.
start=$SECONDS
cp "$deb" "$fresh/tmp/korvane.deb"
find "$archives" -maxdepth 1 -name '*.deb' -exec cp -t "$fresh/var/cache/apt/archives" {} +
"${in_fresh[@]}" apt-get update -qq >"$work/apt.log" 2>&1 &&
    "${in_fresh[@]}" DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends /tmp/korvane.deb >>"$work/apt.log" 2>&1 ||
    { tail -n 20 "$work/apt.log"; give_up "apt-get install --no-install-recommends installs the package into the fresh root"; }
find "$fresh/var/cache/apt/archives" -maxdepth 1 -name '*.deb' -exec cp -u -t "$archives" {} +
echo "  installed with what it depends on: $((SECONDS - start)) s"

check "korvane-flash packs a package in the fresh root" "${in_fresh[@]}" sh -c 'cd /tmp &&
    head -c 1500 /dev/urandom >DIAG.BIN && head -c 6000 /dev/urandom >MCU.BIN &&
    korvane-flash pack sample.bin DIAG.BIN MCU.BIN >/dev/null'
coproc sim { exec "${in_fresh[@]}" korvane-devsim --report /tmp/report.json; }
sim_pid=$sim_PID
pty=
read -r -t 30 pty <&"${sim[0]}" || true
flash_status=0
"${in_fresh[@]}" korvane-flash --port "$pty" --sn 42 /tmp/sample.bin >"$work/flash.log" 2>&1 ||
    flash_status=$?
[ "$flash_status" -eq 0 ] || sed 's/^/  korvane-flash: /' "$work/flash.log"
check "korvane-flash flashes korvane-devsim on '$pty' in the fresh root (exit status $flash_status)" \
    test "$flash_status" -eq 0
kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" || true
sim_pid=

serial=$(sed -n 's/.*"serialRecord": {.*"text": "\([^"]*\)".*/\1/p' "$fresh/tmp/report.json" || true)
check "the device holds serial number 42, not '$serial'" grep -Eq '^K352[0-9]{4}00042$' <<<"$serial"
check "the journal is in its default place" \
    test -f "$fresh/root/.local/share/STM32F10X Korvane/journal.sqlite"
record=$("${in_fresh[@]}" korvane-flash journal --csv --sn 42 2>/dev/null | tail -n +2 || true)
check "the journal holds the run with serial '$serial': '$record'" \
    test "$(cut -d, -f8,9 <<<"$record")" = "$serial,succeeded"

summary
