#!/usr/bin/env bash
# Installs a build into a temporary folder with `cmake --install` and checks
# what lands there: every file in its place and nothing else, the installed
# programs start, the service, desktop entries and man pages name the prefix
# they were installed under and the documents the man pages name are there,
# the udev rule, the service, the desktop and autostart entries, the metainfo
# and the man pages pass the checkers of their formats, the autostart entry
# never starts a second agent, and scripts/uninstall removes it all again.
#
#   check-install.sh prefix  BUILD PROGRAMS PANE   install with --prefix DIR
#   check-install.sh destdir BUILD PROGRAMS PANE   install with --prefix /usr
#                                                  into DESTDIR (packaging)
#
# PROGRAMS: the programs this build has, separated by spaces. PANE: the file
# name of the settings pane plug-in, empty when the build has none.
#
# A checker that is not installed is skipped with a note (groff: groff-base,
# man: man-db, desktop-file-validate: desktop-file-utils, systemd-analyze:
# systemd, udevadm verify: udev of systemd 253 or later, appstreamcli:
# appstream).

set -u

mode=${1:?mode}
build=$(cd "${2:?build folder}" && pwd)
read -r -a programs <<<"${3-}"
pane=${4-}
source=$(cd "$(dirname "$0")/../.." && pwd)

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
note() { echo "note: $*"; }

has_program() {
    local p
    for p in "${programs[@]}"; do [[ $p == "$1" ]] && return 0; done
    return 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/tact-install-test.XXXXXX") || exit 1

# cmake --install rewrites the build's install_manifest.txt. Keep the one a
# real installation left there, so that uninstalling from it still works.
manifest=$build/install_manifest.txt
if [[ -e $manifest && ! -w $manifest ]]; then
    echo "SKIP: $manifest is not writable (left by 'sudo cmake --install'?);" \
        "give it back with: sudo chown $(id -u):$(id -g) $manifest"
    rm -rf "$work"
    exit 77
fi
[[ -e $manifest ]] && cp -p "$manifest" "$work/manifest.saved"
cleanup() {
    if [[ -e $work/manifest.saved ]]; then
        cp -p "$work/manifest.saved" "$manifest"
    else
        rm -f "$manifest"
    fi
    rm -rf "$work"
}
trap cleanup EXIT

case $mode in
    prefix)
        prefix=$work/prefix
        root=$prefix
        stage=""
        install_env=()
        ;;
    destdir)
        prefix=/usr
        root=$work/stage/usr
        stage=$work/stage
        install_env=(DESTDIR="$stage")
        ;;
    *)
        echo "unknown mode $mode"
        exit 2
        ;;
esac

if ! env "${install_env[@]}" cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: cmake --install $build --prefix $prefix"
    exit 1
fi

# --- the layout: exactly the expected files --------------------------------

# The system's configuration folder: /etc for the prefix /usr (as a package
# has it), PREFIX/etc otherwise. Paths in `expected` are relative to $root.
autostart=etc/xdg/autostart/tactagent.desktop
[[ $mode == destdir ]] && autostart=../etc/xdg/autostart/tactagent.desktop
expected=()
for p in "${programs[@]}"; do
    expected+=("bin/$p")
    expected+=("share/man/man1/$p.1")
    case $p in
        tactcalib | tactpaint | tactprefs)
            expected+=("share/applications/$p.desktop" "share/metainfo/com.vostrabaxworks.$p.metainfo.xml")
            ;;
        tactagent)
            expected+=("lib/systemd/user/tactagent.service" "share/tact/applications.table" "$autostart")
            ;;
        tactreplay) expected+=("share/man/man5/tact-session.5") ;;
    esac
done
[[ -n $pane ]] && expected+=("lib/tact/panes/$pane")
expected+=("lib/udev/rules.d/70-tact.rules" "lib/modules-load.d/tact.conf")
expected+=("share/doc/tact/README.md" "share/doc/tact/CHANGELOG.md" "share/doc/tact/copyright")
for doc in "$source"/docs/*.md; do expected+=("share/doc/tact/docs/${doc##*/}"); done

for f in "${expected[@]}"; do
    [[ -f $root/$f ]] || fail "missing $prefix/$f"
done
for p in "${programs[@]}"; do
    [[ -x $root/bin/$p ]] || fail "$prefix/bin/$p is not executable"
done

printf '%s\n' "${expected[@]}" | sort >"$work/expected"
if [[ $mode == destdir ]]; then
    # Nothing may land outside DESTDIR/usr but the autostart entry.
    (cd "$work/stage" && find . -type f -o -type l) | sed 's|^\./||' | grep -v '^usr/' |
        grep -vx "${autostart#../}" |
        while read -r f; do echo "FAIL: installed outside the prefix: /$f"; done |
        tee "$work/outside"
    [[ -s $work/outside ]] && failures=$((failures + 1))
fi
{
    (cd "$root" && find . -type f -o -type l) | sed 's|^\./||'
    [[ $mode == destdir && -f $root/$autostart ]] && echo "$autostart"
} | sort >"$work/installed"
extra=$(comm -13 "$work/expected" "$work/installed")
[[ -z $extra ]] || fail "unexpected files installed:"$'\n'"$extra"

# --- text files: filled in for this prefix ---------------------------------

text_files=()
for f in "${expected[@]}"; do
    case $f in
        bin/* | lib/tact/panes/*) ;;
        *) [[ -f $root/$f ]] && text_files+=("$root/$f") ;;
    esac
done
if ((${#text_files[@]})); then
    left=$(grep -l '@TACT_[A-Z]*@' "${text_files[@]}")
    [[ -z $left ]] || fail "placeholders left in: $left"
    for leak in "$build" "$work"; do
        [[ $mode == prefix && $leak == "$work" ]] && continue
        hits=$(grep -l -F "$leak" "${text_files[@]}")
        [[ -z $hits ]] || fail "installed files name $leak: $hits"
    done
fi

# --- the installed programs start from their new place ---------------------

for p in "${programs[@]}"; do
    [[ -x $root/bin/$p ]] || continue
    if command -v ldd >/dev/null; then
        missing=$(ldd "$root/bin/$p" 2>&1 | grep 'not found')
        [[ -z $missing ]] || fail "$p: libraries not found: $missing"
    fi
    # --help answers before a Qt program looks for a display.
    out=$(QT_QPA_PLATFORM=offscreen timeout 30 "$root/bin/$p" --help 2>&1)
    rc=$?
    if ((rc != 0)); then
        fail "$prefix/bin/$p --help exited with $rc: $out"
    elif [[ $out != "Usage: $p"* ]]; then
        fail "$prefix/bin/$p --help printed no usage: $out"
    fi
    printf '%s\n' "$out" >"$work/help-$p"
done
if [[ -n $pane && -f $root/lib/tact/panes/$pane ]] && command -v ldd >/dev/null; then
    missing=$(ldd "$root/lib/tact/panes/$pane" 2>&1 | grep 'not found')
    [[ -z $missing ]] || fail "$pane: libraries not found: $missing"
fi

# --- the user service -------------------------------------------------------

unit=$root/lib/systemd/user/tactagent.service
if [[ -f $unit ]]; then
    for line in "ExecStart=$prefix/bin/tactagent" "Restart=on-failure" \
        "WantedBy=graphical-session.target" "PartOf=graphical-session.target" \
        "After=graphical-session.target"; do
        grep -qxF "$line" "$unit" || fail "tactagent.service has no line $line"
    done
    if [[ $mode == prefix ]] && command -v systemd-analyze >/dev/null; then
        # verify needs a runtime folder of its own; it also checks that
        # ExecStart is an executable file.
        mkdir -m 700 "$work/runtime"
        out=$(XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify --man=no "$unit" 2>&1)
        rc=$?
        ours=$(grep -F tactagent <<<"$out")
        if ((rc != 0)) || [[ -n $ours ]]; then
            fail "systemd-analyze --user verify tactagent.service (exit $rc): $out"
        fi
    elif [[ $mode == prefix ]]; then
        note "systemd-analyze not installed: the service's syntax is not checked"
    fi
fi

# --- the udev rule and the module list --------------------------------------

rules=$root/lib/udev/rules.d/70-tact.rules
match_keys=" ACTION DEVPATH KERNEL KERNELS SUBSYSTEM SUBSYSTEMS DRIVER DRIVERS ATTRS TAGS TEST PROGRAM RESULT CONST "
assign_keys=" OWNER GROUP MODE SECLABEL RUN LABEL GOTO IMPORT OPTIONS "
both_keys=" NAME SYMLINK ATTR SYSCTL ENV TAG "
attr_keys=" ATTR ATTRS SYSCTL ENV CONST SECLABEL "

# Checks one rule line the way udev reads it: comma-separated KEY[{attr}]
# OP "value" items. Prints the items, one per line, as KEY{attr}OP"value".
lint_rule() {
    local rest=$1 where=$2
    local item='^[[:space:]]*([A-Z_]+)(\{[^}]*\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*"([^"]*)"[[:space:]]*(,|$)'
    while [[ -n ${rest//[[:space:]]/} ]]; do
        if ! [[ $rest =~ $item ]]; then
            fail "$where: cannot read rule item at: $rest"
            return
        fi
        local key=${BASH_REMATCH[1]} attr=${BASH_REMATCH[2]} op=${BASH_REMATCH[3]}
        local value=${BASH_REMATCH[4]}
        rest=${rest:${#BASH_REMATCH[0]}}
        if [[ $match_keys != *" $key "* && $assign_keys != *" $key "* && $both_keys != *" $key "* ]]; then
            fail "$where: unknown key $key"
        elif [[ $match_keys == *" $key "* && $op != "==" && $op != "!=" ]]; then
            fail "$where: $key only matches (== or !=), not $op"
        elif [[ $assign_keys == *" $key "* && ($op == "==" || $op == "!=") ]]; then
            fail "$where: $key only assigns, not $op"
        fi
        [[ $attr_keys == *" $key "* && -z $attr ]] && fail "$where: $key needs {attribute}"
        echo "$key$attr$op\"$value\""
    done
}

# True when some rule in $work/rules.items holds every one of the items.
rule_with() {
    local line item ok
    while IFS= read -r line; do
        ok=1
        for item in "$@"; do
            [[ $'\t'$line$'\t' == *$'\t'$item$'\t'* ]] || ok=0
        done
        ((ok)) && return 0
    done <"$work/rules.items"
    return 1
}

if [[ -f $rules ]]; then
    : >"$work/rules.items"
    labels=() gotos=()
    number=0 pending=""
    while IFS= read -r raw || [[ -n $raw ]]; do
        number=$((number + 1))
        [[ $raw =~ ^[[:space:]]*(#|$) ]] && [[ -z $pending ]] && continue
        if [[ $raw == *\\ ]]; then
            pending+="${raw%\\} "
            continue
        fi
        line="$pending$raw"
        pending=""
        items=$(lint_rule "$line" "70-tact.rules:$number")
        grep -v '^FAIL' <<<"$items" | paste -sd $'\t' >>"$work/rules.items"
        if grep '^FAIL' <<<"$items"; then failures=$((failures + 1)); fi
        while read -r it; do
            [[ $it =~ ^LABEL=\"(.*)\"$ ]] && labels+=("${BASH_REMATCH[1]}")
            [[ $it =~ ^GOTO=\"(.*)\"$ ]] && gotos+=("${BASH_REMATCH[1]}")
        done <<<"$items"
    done <"$rules"
    [[ -z $pending ]] || fail "70-tact.rules ends inside a continued line"
    for g in "${gotos[@]}"; do
        [[ " ${labels[*]} " == *" $g "* ]] || fail "70-tact.rules: GOTO \"$g\" has no LABEL"
    done

    rule_with 'SUBSYSTEM=="hidraw"' 'ATTRS{idVendor}=="23c9"' 'TAG+="uaccess"' ||
        fail "70-tact.rules gives no uaccess to the frame's hidraw nodes"
    rule_with 'SUBSYSTEM=="input"' 'KERNEL=="event*"' 'ATTRS{idVendor}=="23c9"' 'TAG+="uaccess"' ||
        fail "70-tact.rules gives no uaccess to the frame's input event nodes"
    rule_with 'KERNEL=="uinput"' 'SUBSYSTEM=="misc"' 'TAG+="uaccess"' \
        'OPTIONS+="static_node=uinput"' ||
        fail "70-tact.rules gives no uaccess to /dev/uinput"
    if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
        out=$(udevadm verify --resolve-names=never "$rules" 2>&1) ||
            fail "udevadm verify 70-tact.rules: $out"
    elif [[ $mode == prefix ]]; then
        note "udevadm verify not available: 70-tact.rules checked by this script only"
    fi
fi

modules=$root/lib/modules-load.d/tact.conf
if [[ -f $modules ]]; then
    grep -v '^[[:space:]]*[#;]' "$modules" | grep -qx 'uinput' ||
        fail "tact.conf does not load uinput"
fi

# --- desktop entries --------------------------------------------------------

for p in tactcalib tactpaint tactprefs; do
    entry=$root/share/applications/$p.desktop
    [[ -f $entry ]] || continue
    for key in Exec TryExec; do
        value=$(sed -n "s/^$key=//p" "$entry")
        [[ ${value%% *} == "$prefix/bin/$p" ]] ||
            fail "$p.desktop: $key=$value does not start $prefix/bin/$p"
    done
    if command -v desktop-file-validate >/dev/null; then
        out=$(desktop-file-validate "$entry" 2>&1)
        rc=$?
        if ((rc != 0)) || grep -qiE 'error|warning' <<<"$out"; then
            fail "desktop-file-validate $p.desktop: $out"
        fi
    elif [[ $mode == prefix && $p == tactcalib ]]; then
        note "desktop-file-validate (desktop-file-utils) not installed: entries not validated"
    fi
done

# --- the autostart entry: it starts the service, never a second agent -------

entry=$root/$autostart
if [[ -f $entry ]]; then
    grep -qx 'X-GNOME-HiddenUnderSystemd=true' "$entry" ||
        fail "tactagent.desktop (autostart) is not hidden where systemd runs the session"
    [[ $(sed -n 's/^TryExec=//p' "$entry") == "$prefix/bin/tactagent" ]] ||
        fail "tactagent.desktop (autostart): TryExec does not name $prefix/bin/tactagent"
    if command -v desktop-file-validate >/dev/null; then
        out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate autostart tactagent.desktop: $out"
    fi
    # Run its command with a stand-in systemctl and agent: with a user
    # manager it only starts the service (a no-op where it runs); without one
    # it runs the agent itself.
    command=$(sed -n 's/^Exec=sh -c "\(.*\)"$/\1/p' "$entry")
    mkdir -p "$work/fake"
    printf '#!/bin/sh\necho "systemctl $*" >>"%s"\n[ "$2" != show-environment ] || [ -n "$HAS_MANAGER" ]\n' \
        "$work/calls" >"$work/fake/systemctl"
    printf '#!/bin/sh\necho tactagent >>"%s"\n' "$work/calls" >"$work/fake/tactagent"
    chmod +x "$work/fake/systemctl" "$work/fake/tactagent"
    command=${command//"$prefix/bin/tactagent"/"$work/fake/tactagent"}
    for manager in yes ""; do
        : >"$work/calls"
        HAS_MANAGER=$manager PATH="$work/fake:$PATH" sh -c "$command" || fail "the autostart command failed"
        if [[ -n $manager ]]; then
            want=$'systemctl --user show-environment\nsystemctl --user import-environment DISPLAY XAUTHORITY WAYLAND_DISPLAY XDG_CURRENT_DESKTOP\nsystemctl --user start tactagent.service'
        else
            want=$'systemctl --user show-environment\ntactagent'
        fi
        [[ $(<"$work/calls") == "$want" ]] ||
            fail "autostart $([[ -n $manager ]] && echo with || echo without) a user manager ran:"$'\n'"$(<"$work/calls")"
    done
fi

# --- AppStream metainfo -----------------------------------------------------

for p in tactcalib tactpaint tactprefs; do
    info=$root/share/metainfo/com.vostrabaxworks.$p.metainfo.xml
    [[ -f $info ]] || continue
    grep -qF "<launchable type=\"desktop-id\">$p.desktop</launchable>" "$info" ||
        fail "$p metainfo does not launch $p.desktop"
    if command -v appstreamcli >/dev/null; then
        out=$(appstreamcli validate --no-net --no-color "$info" 2>&1) ||
            fail "appstreamcli validate $p metainfo: $out"
    elif [[ $mode == prefix && $p == tactcalib ]]; then
        note "appstreamcli (appstream) not installed: metainfo not validated"
    fi
done

# --- man pages --------------------------------------------------------------

have_groff=0
command -v groff >/dev/null && have_groff=1
((have_groff)) || [[ $mode != prefix ]] ||
    note "groff (groff-base) not installed: man pages are not rendered"
pages=()
for p in "${programs[@]}"; do pages+=("$root/share/man/man1/$p.1"); done
pages+=("$root/share/man/man5/tact-session.5")
for page in "${pages[@]}"; do
    [[ -f $page ]] || continue
    p=$(basename "$page")
    p=${p%.[0-9]}
    # Dated, and every document it names is installed.
    grep -qE '^\.TH [^ ]+ [0-9] "[0-9]{4}-[0-9]{2}-[0-9]{2}" ' "$page" || fail "$p: .TH carries no date"
    while read -r doc; do
        [[ -f $stage$doc ]] ||
            fail "$p names $doc, which is not installed"
    done < <(grep -oE "$prefix/share/doc/tact/[A-Za-z0-9_./-]*[A-Za-z0-9]" "$page" | sort -u)
    sections=(NAME SYNOPSIS DESCRIPTION OPTIONS FILES 'SEE ALSO')
    [[ $page == *.5 ]] && sections=(NAME DESCRIPTION 'SEE ALSO')
    for section in "${sections[@]}"; do
        grep -qxE "\.SH \"?$section\"?" "$page" || fail "$p.1 has no section $section"
    done
    # whatis and apropos read the line after .SH NAME: "name \- summary".
    name_line=$(sed -n '/^\.SH NAME$/{n;p;q}' "$page")
    [[ ${name_line//\\-/-} == "$p - "* ]] || fail "$p.1: NAME line is not '$p \\- ...': $name_line"
    ((have_groff)) || continue
    # Every warning but lines too long to adjust, which a long prefix (as
    # this test's) makes in FILES.
    warnings=$(groff -man -Tutf8 -ww -Wbreak -z "$page" 2>&1)
    [[ -z $warnings ]] || fail "groff warns about $p.1: $warnings"
    text=$(groff -man -Tascii -P-cbou -rLL=250n "$page" 2>/dev/null)
    # Every option the program's help names is described.
    if [[ -f $work/help-$p ]]; then
        while read -r option; do
            grep -qF -- "$option" <<<"$text" || fail "$p.1 does not describe $option"
        done < <(grep -oE -- '--[a-z][a-z-]*' "$work/help-$p" | sort -u)
    fi
    if command -v man >/dev/null; then
        out=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null | grep -v 'cannot adjust line')
        [[ -z $out ]] || fail "man -l $p.1: $out"
    fi
done

# The changelog tells of this release.
version=$(sed -n 's/^\.TH .* "tact \([^"]*\)".*/\1/p' "$root/share/man/man1/${programs[0]}.1")
grep -qE "^## $version " "$root/share/doc/tact/CHANGELOG.md" ||
    fail "CHANGELOG.md has no section for $version"

# --- uninstall: everything goes, our folders too ------------------------------

if ! out=$(env "${install_env[@]}" bash "$source/scripts/uninstall" "$manifest" 2>&1); then
    fail "scripts/uninstall: $out"
fi
left=$(cd "${stage:-$root}" && find . -type f -o -type l -o -type d -name '*tact*')
[[ -z $left ]] || fail "left after uninstalling:"$'\n'"$left"

if ((failures)); then
    echo "$failures problem(s) with the installation under $prefix"
    exit 1
fi
echo "installation under $prefix ($mode): ${#expected[@]} files checked"
