#!/usr/bin/env bash
# The manual page and the bash completion against the program's --help:
# the same options, the page renders, and completion offers what a user
# pressing TAB expects. Arguments: the skarbel executable, the folder of the
# written pages.
set -euo pipefail
export LC_ALL=C
skarbel="$1" pages="$2"
failures=0
expect() {  # name, expected, actual
    if [[ "$2" != "$3" ]]; then
        echo "FAIL $1"$'\n'"  expected: $2"$'\n'"  actual:   $3"
        failures=$((failures + 1))
    fi
}
words() { tr -s ' \n' '\n' | sed '/^$/d' | sort | paste -sd ' '; }

help_options=$("$skarbel" --help | grep -oE '^  (--[a-z-]+|-[A-Za-z])' | words)
help_long=$("$skarbel" --help | grep -oE '^  --[a-z-]+(=)?' | words)

# The rendered page: its option list, its sections, no groff warnings.
skipped=0
if command -v man >/dev/null && command -v groff >/dev/null && command -v col >/dev/null; then
    rendered=$(MANWIDTH=200 man -l "$pages/skarbel.1" 2>/dev/null | col -b)
    man_options=$(sed -n '/^OPTIONS/,/^EXIT STATUS/p' <<<"$rendered" | grep -oE '^       (--[a-z-]+|-[A-Za-z])' | words)
    expect "man page options" "$help_options" "$man_options"
    expect "man page sections" "NAME SYNOPSIS DESCRIPTION OPTIONS EXIT STATUS FILES EXAMPLES ENVIRONMENT SEE ALSO" \
        "$(grep -E '^[A-Z][A-Z ]+$' <<<"$rendered" | tr '\n' ' ' | sed 's/ $//')"
    expect "defaults in the page" "$("$skarbel" --help | sed -n '/^Options/,/^Files/p' | grep -o default | wc -l)" \
        "$(sed -n '/^OPTIONS/,/^EXIT STATUS/p' <<<"$rendered" | tr -s ' \n' '  ' | grep -o default | wc -l)"
    expect "exit statuses" "0 1 255" "$(sed -n '/^EXIT STATUS/,/^FILES/p' <<<"$rendered" | grep -oE '^       [0-9]+( |$)' | words)"
    expect "groff warnings" "" "$(groff -man -ww -z -Tutf8 "$pages/skarbel.1" 2>&1)"
else
    echo "man, groff or col missing (Debian: man-db): the rendered page is not checked"
    skipped=1
fi
expect "compressed page" "$(cat "$pages/skarbel.1")" "$(gzip -dc "$pages/skarbel.1.gz")"

# Completion: sourced as bash loads it, called as bash calls it on TAB, with
# the words split at "=" as bash splits them.
source "$pages/skarbel.bash"
complete_line() {
    local line="$1"
    COMP_LINE="$line" COMP_POINT=${#line}
    read -r -a COMP_WORDS <<<"${line//=/ = }"
    [[ "$line" == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _skarbel skarbel
    printf '%s\n' "${COMPREPLY[@]}" | words
}
expect "all long options" "$help_long" "$(complete_line "skarbel --")"
expect "all options" "$(echo $help_long $("$skarbel" --help | grep -oE '^  -[A-Za-z]') | words)" \
    "$(complete_line "skarbel -")"
expect "--mo<TAB>" "--mode=" "$(complete_line "skarbel --mo")"
expect "--pos<TAB>" "--position --position-margin= --position-only" "$(complete_line "skarbel --pos")"
expect "--r<TAB>" "--radial= --rotx" "$(complete_line "skarbel -z300 --r")"
expect "--mode=<TAB>" "1 12 2 6" "$(complete_line "skarbel --mode=")"
expect "--mode=1<TAB>" "1 12" "$(complete_line "skarbel -S --mode=1")"
expect "--bin=<TAB>" "" "$(complete_line "skarbel --bin=")"
for mode in $(complete_line "skarbel --mode="); do
    expect "--mode=$mode accepted" "0" "$("$skarbel" --mode=$mode --help >/dev/null 2>&1; echo $?)"
done

cd "$(mktemp -d)"
trap 'rm -rf "$PWD"' EXIT
touch a.tlt b.rawtlt c.mrc d.st e.ali f.rec notes.txt && mkdir data
expect "tilt file" "a.tlt b.rawtlt data" "$(complete_line "skarbel --mode=2 ")"
expect "stack" "c.mrc d.st data e.ali" "$(complete_line "skarbel -z300 a.tlt --slices=1,2 ")"
expect "output" "c.mrc data f.rec" "$(complete_line "skarbel a.tlt c.mrc --rotx ")"
expect "stack after --" "c.mrc d.st data e.ali" "$(complete_line "skarbel -- a.tlt ")"
expect "prefix" "c.mrc" "$(complete_line "skarbel a.tlt c")"

((failures == 0)) || exit 1
((skipped)) && exit 77
echo "man page and completion agree with --help"
