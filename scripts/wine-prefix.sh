# Sourced by the scripts that run the Windows programs under Wine.
#
# wine_prefix WORK [COM1]: a fresh Wine prefix in WORK/prefix (exported as WINEPREFIX),
# whose COM1 leads to the path COM1 (default WORK/com1), the link a korvane-devsim makes
# with --link, and COM2 to WORK/com2; one Wine server for the whole run, which
# wine_prefix_end stops. The caller removes WORK. Returns 1, having said which step
# failed, when no prefix could be made.

# The dialogs ask for the font "宋体" (and Wine's own dialogs for the usual Windows faces),
# which a prefix without Windows fonts lacks: Wine would fall back to a serif face. They
# are mapped to the CJK face that the Linux build uses (fonts-wqy-microhei), so the window
# looks under Wine as it does on a Windows desktop with its Chinese fonts.
wine_dialog_font="WenQuanYi Micro Hei"
wine_replaced_fonts=("宋体" "SimSun" "NSimSun" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif")

wine_prefix() {
    local work=$1 com1=${2:-$1/com1} attempt
    # Wine now and then fails a step of a new prefix on a loaded machine: the prefix is
    # made once more before the caller is told.
    for attempt in 1 2; do
        wine_prefix_made "$work" "$com1" && return 0
        wineserver -k 2>/dev/null || true
        rm -rf "$work/prefix"
        [ "$attempt" -eq 2 ] || echo "wine prefix: making it once more" >&2
    done
    return 1
}

# wine_prefix_step WHAT COMMAND...: one step of making the prefix, its output kept aside;
# a failure is named, with that output, on standard error.
wine_prefix_step() {
    local what=$1 status=0
    shift
    "$@" >"$WINEPREFIX.step.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "wine prefix: $what failed (exit status $status):" >&2
        tail -n 20 "$WINEPREFIX.step.log" | sed 's/^/    /' >&2
    fi
    rm -f "$WINEPREFIX.step.log"
    return "$status"
}

wine_prefix_made() {
    local work=$1 com1=$2 face
    export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    wine_prefix_step "wineboot" wineboot -i || return 1
    # Debian's Wine does not look for its own faces (fonts-wine) where it keeps them, but
    # finds them in the prefix's font folder. Marlett alone is taken, for the caption
    # buttons: Wine's Tahoma would draw the Chinese captions as empty boxes.
    wine_prefix_step "Marlett" ln -sf /usr/share/wine/fonts/marlett.ttf \
        "$WINEPREFIX/drive_c/windows/Fonts/" || return 1
    # Wine lays out dosdevices/comN anew whenever its server starts, from the serial devices
    # it finds unless its registry names one; so COM1 and COM2 are named there too, as links
    # of our own that follow each simulator's terminal.
    wine_prefix_step "COM1" wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$com1" /f ||
        return 1
    wine_prefix_step "COM2" wine reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$work/com2" /f ||
        return 1
    for face in "${wine_replaced_fonts[@]}"; do
        wine_prefix_step "the font $face" wine reg add 'HKCU\Software\Wine\Fonts\Replacements' \
            /v "$face" /d "$wine_dialog_font" /f || return 1
    done
    wineserver -k || true
    wine_prefix_step "COM1's link" ln -sfn "$com1" "$WINEPREFIX/dosdevices/com1" || return 1
    wine_prefix_step "COM2's link" ln -sfn "$work/com2" "$WINEPREFIX/dosdevices/com2" || return 1
    # One server for the whole run: quicker starts, and the COM1 mapping stays put. The
    # server and the services that the first program starts live on, so neither may hold
    # on to an output that someone reads to its end.
    wine_prefix_step "wineserver" wineserver -p || return 1
    wine_prefix_step "the registry" wine reg query 'HKLM\Software\Wine\Ports' || return 1
}

wine_prefix_end() {
    [ -z "${WINEPREFIX:-}" ] || wineserver -k 2>/dev/null || true
}

# wine_display WORK: a virtual X display of its own (exported as DISPLAY) for the Windows
# programs: Wine makes its windows there, even those of a program drawing off screen.
# wine_display_end stops it.
wine_display() {
    local work=$1
    Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$work/display" >/dev/null 2>&1 &
    wine_xvfb_pid=$!
    for _ in $(seq 300); do [ -s "$work/display" ] && break; sleep 0.05; done
    if [ ! -s "$work/display" ]; then
        echo "wine display: Xvfb gave no display within 15 s" >&2
        return 1
    fi
    export DISPLAY=":$(head -n 1 "$work/display")"
}

wine_display_end() {
    if [ -n "${wine_xvfb_pid:-}" ]; then
        kill "$wine_xvfb_pid" 2>/dev/null || true
        wait "$wine_xvfb_pid" 2>/dev/null || true
        wine_xvfb_pid=
    fi
}
