#!/usr/bin/env bash
# The bash completion of tarnvel-fw (contrib/bash-completion/tarnvel-fw), fed command lines as
# bash-completion would feed them, on a simulated machine with two boards; and its commands and
# options against what `tarnvel-fw --help` and `tarnvel-fw help COMMAND` list, so that the two
# cannot drift apart.
#
#   tarnvel_fw_completion_test.sh TARNVEL_SIM TARNVEL_FW COMPLETION
set -uo pipefail

if [[ ${1-} != --inside ]]; then
    [[ $# -eq 3 ]] || { echo "usage: $0 TARNVEL_SIM TARNVEL_FW COMPLETION" >&2; exit 2; }
    # The boards' nodes are not numbered by their place, as udev's names need not be.
    exec "$1" kind=5 kind=3,node=3 -- "$BASH" "$0" --inside "$2" "$3"
fi
tarnvel_fw=$2
completion=$3

bash_completion=/usr/share/bash-completion/bash_completion
if [[ ! -r $bash_completion ]]; then
    echo "$bash_completion not found: scripts/install-deps installs bash-completion"
    exit 1
fi
# shellcheck source=/dev/null
source "$bash_completion"
# shellcheck source=/dev/null
source "$completion"

passed=0
failed=0
check() {
    local what=$1 actual=$2 expected=$3
    if [[ $actual == "$expected" ]]; then
        passed=$((passed + 1))
        echo "ok    $what: $actual"
    else
        failed=$((failed + 1))
        echo "FAIL  $what: '$actual', expected '$expected'"
    fi
}

# What completing LINE (the cursor at its end) offers, sorted, on one line. Readline splits the
# line into COMP_WORDS at blanks and around "=".
complete_line() {
    local line=$1 word
    local -a raw
    COMP_WORDS=()
    read -ra raw <<<"$line"
    for word in "${raw[@]}"; do
        while [[ $word == *=* ]]; do
            COMP_WORDS+=("${word%%=*}" "=")
            word=${word#*=}
        done
        [[ -n $word ]] && COMP_WORDS+=("$word")
    done
    [[ $line == *" " || $line == *= ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _tarnvel_fw
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd " " -
}

# The first long option of each option line of a help text ("  -h,--help  ...", "  --board NODE").
help_options() {
    sed -n 's/^  \(-[a-z],\)\{0,1\}\(--[a-z][a-z-]*\).*/\2/p' | paste -sd " " -
}

# Completed ahead of tarnvel-fw: commands and options that are being added to it, each as
# "COMMAND" or "COMMAND:OPTION". Delete them here once tarnvel-fw lists them.
ahead=""

# Both ways: what tarnvel-fw lists is completed, and what is completed tarnvel-fw lists (or is
# ahead of it).
compare() {
    local what=$1 completed=$2 listed=$3 prefix=$4 word missing="" extra=""
    for word in $listed; do
        [[ " $completed " == *" $word "* ]] || missing+=" $word"
    done
    for word in $completed; do
        [[ " $listed " == *" $word "* || $ahead == *" $prefix$word "* ]] || extra+=" $word"
    done
    check "$what that tarnvel-fw lists and completion lacks" "${missing# }" ""
    check "$what that completion offers and tarnvel-fw lacks" "${extra# }" ""
}

commands=$("$tarnvel_fw" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p' |
    paste -sd " " -)
compare "commands" "$(complete_line "tarnvel-fw ")" "$commands" ""
compare "options before a command" "$(complete_line "tarnvel-fw -")" \
    "$("$tarnvel_fw" --help | help_options)" ""
for command in $commands; do
    [[ $command == help ]] && continue
    compare "$command options" "$(complete_line "tarnvel-fw $command -")" \
        "$("$tarnvel_fw" help "$command" | help_options)" "$command:"
done

# --- What the completion offers where, with a journal that holds a write of each board, one
# after the other (records 1 and 2), each with a backup of what it overwrote.
PATH=$(dirname "$tarnvel_fw"):$PATH
"$tarnvel_fw" update --yes --force --jobs 1 >/dev/null 2>&1 ||
    echo "FAIL  the writes that make the journal's records"

files=$(mktemp -d "${TMPDIR:-/tmp}/tarnvel-completion.XXXXXX")
trap 'rm -rf "$files"' EXIT
touch "$files/image.bin" "$files/notes.txt"
mkdir "$files/old"

# (command line, what completing it offers)
cases=(
    "tarnvel-fw up" "update"
    "tarnvel-fw --v" "--version"
    "tarnvel-fw help " "dump forget history list metrics rollback update verify"
    "tarnvel-fw update --yes --" "--board --force --full --help --image --jobs --json --keep-backups --no-backup --no-journal --no-reboot --reboot --rollback-on-failure"
    "tarnvel-fw update --jobs " ""
    "tarnvel-fw verify --board /dev/tarnvel0 --" "--board --help --image --json"
    "tarnvel-fw dump --board " "/dev/tarnvel0 /dev/tarnvel3"
    "tarnvel-fw update --board=/dev/tarnvel" "/dev/tarnvel0 /dev/tarnvel3"
    "tarnvel-fw history --board /dev/tarnvel3 " "--board --help --json --limit --since"
    "tarnvel-fw forget --" "--help --pci --yes"
    "tarnvel-fw forget --pci " "0000:01:00.0 0000:02:00.0"
    "tarnvel-fw forget --pci 0000:02" "0000:02:00.0"
    "tarnvel-fw rollback --to " "1 2"
    "tarnvel-fw rollback --board /dev/tarnvel3 --to " "2"
    "tarnvel-fw rollback --board=tarnvel0 --to " "1"
    "tarnvel-fw dump --output $files/" "$files/image.bin $files/notes.txt $files/old"
    "tarnvel-fw verify --image=$files/i" "$files/image.bin"
    "tarnvel-fw metrics --output $files/o" "$files/old"
    "tarnvel-fw dump --length " ""
    "tarnvel-fw frobnicate --" ""
)
for ((i = 0; i < ${#cases[@]}; i += 2)); do
    check "'${cases[i]}'" "$(complete_line "${cases[i]}")" "${cases[i + 1]}"
done

echo "$passed passed, $failed failed"
((failed == 0))
