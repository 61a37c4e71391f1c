#!/bin/bash
# flowctl's bash completion against flowctl itself: every command and every
# option of each command that `flowctl --help` and `flowctl COMMAND --help`
# list is offered, so that a new one cannot be forgotten there.
#   completion_check.sh FLOWCTL COMPLETION
set -u
flowctl=$1
# shellcheck disable=SC1090
source "$2"
# bash-completion's helpers, as far as _flowctl uses them.
_init_completion() {
    words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
    cur=${words[cword]} prev=${words[cword - 1]}
}
_filedir() { :; }

offered() { # the words offered for the last one given, after the others
    COMP_WORDS=(flowctl "$@") COMP_CWORD=$# COMPREPLY=()
    _flowctl
    printf '%s\n' "${COMPREPLY[@]}"
}

status=0
commands=$("$flowctl" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z-]*\) .*/\1/p')
[ -n "$commands" ] || { echo "no command in flowctl --help"; exit 1; }
for command in $commands; do
    offered "" | grep -qx -- "$command" || { echo "command $command not offered"; status=1; }
    for option in $("$flowctl" "$command" --help | grep -o '^  \(-h,\)\?--[a-z-]*' | sed 's/.*--/--/'); do
        offered "$command" - | grep -qx -- "$option" ||
            { echo "$command $option not offered"; status=1; }
    done
done
exit $status
