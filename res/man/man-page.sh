#!/bin/sh
# The manual page of one program, from its --help and --version and the sections of its
# include file (exit status, files, environment, examples, see also):
#   res/man/man-page.sh PROGRAM SUMMARY INCLUDE PAGE
# writes PAGE.gz. The page is plain ASCII, so that it reads the same in every locale: man
# shows a character the terminal's character set lacks as "?", so the help's ellipses
# ("COM1 … COM255") become three dots. help2man reads the help in UTF-8: in its default
# locale it would take each byte of such a character for a "?".
set -eu
program=$1
summary=$2
include=$3
page=$4
mkdir -p "$(dirname "$page")"
help2man --locale=C.UTF-8 --no-info --name="$summary" --include="$include" \
    --output="$page" "$program"
sed -i 's/…/\\\&.../g' "$page"
# help2man puts each form of the synopsis on a line of its own. A form too long for one
# line goes on indented, so that each form starts where the program's name stands out on
# the left; an option and its value ("[--sn N]") stay on one line, and no word is
# hyphenated.
awk '
    /^\.SH / {
        if (synopsis) print ".in\n.hy\n.ad"
        synopsis = ($0 == ".SH SYNOPSIS")
        print
        if (synopsis) print ".nh\n.ad l\n.in +4n"
        next
    }
    synopsis && /^$/ { next }
    synopsis && /^\.B / { print ".ti -4n"; print; next }
    synopsis && !/^\./ {
        line = ""; depth = 0
        for (i = 1; i <= length($0); i++) {
            c = substr($0, i, 1)
            if (c == "[") depth++
            else if (c == "]") depth--
            line = line ((c == " " && depth > 0) ? "\\ " : c)
        }
        $0 = line
    }
    { print }
' "$page" >"$page.tmp"
mv "$page.tmp" "$page"
if LC_ALL=C grep -n '[^ -~	]' "$page" >&2; then
    echo "man-page.sh: $page has characters beyond ASCII (above)" >&2
    exit 1
fi
gzip -9nf "$page"
