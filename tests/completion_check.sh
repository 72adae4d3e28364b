#!/usr/bin/env bash
# The shell completions against each tool's --help: every option --help
# lists completes in bash and fish and no other does; values complete as
# their kind says (files, directories, the methods, nothing for numbers);
# the zsh scripts parse. fish and zsh are tried where they are installed.
#   completion_check.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kmertools-completion-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "completion check: $*" >&2; exit 1; }
cd "$scratch"

# complete_bash TOOL WORDS: what bash offers for the last of WORDS (a
# trailing space starts an empty word), one per line; with bash-completion
# loaded when $with_library says so.
with_library=
complete_bash() {
    local tool=$1
    # shellcheck disable=SC1090
    ([ -z "$with_library" ] || source /usr/share/bash-completion/bash_completion
     source "$build/packaging/bash/$tool"
     # bash splits words at '=' as its COMP_WORDBREAKS say
     line="$tool $2"
     read -ra COMP_WORDS <<<"${line//=/ = }"
     [ "${line: -1}" = " " ] && COMP_WORDS+=("")
     COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
     "_$tool"
     [ ${#COMPREPLY[@]} -eq 0 ] || printf "%s\n" "${COMPREPLY[@]}" | sort)
}

for tool in seedtiler sigsieve cohortmeans; do
    bin=$build/$tool/$tool
    # The options as --help lists them, long and short.
    "$bin" --help | grep -oE '^ +(-[^ ,], )?--[a-z0-9-]+' | grep -oE -- '-[^ ,]+' | sort >help
    complete_bash "$tool" - >bash
    diff help bash >/dev/null || fail "$tool: bash offers other options than --help lists: $(diff help bash)"
    if command -v fish >/dev/null; then
        grep -- "^--" help >long
        fish -c "source $build/packaging/fish/$tool.fish; complete -C '$tool --'" | cut -f1 | sort >fish
        diff long fish >/dev/null || fail "$tool: fish offers other options than --help lists: $(diff long fish)"
    fi
    if command -v zsh >/dev/null; then
        zsh -n "$build/packaging/zsh/_$tool" || fail "$tool: the zsh script does not parse"
    fi
done

# Values: a table of what bash offers after TOOL WORDS, one per line (file
# names whole, spaces and brackets kept), without bash-completion and with
# it where it is installed.
mkdir "$scratch/values" "$scratch/values/dir" && touch "$scratch/values/file.fa"
touch "$scratch/values/my file.txt" "$scratch/values/x[1].txt"
cd "$scratch/values"
for with_library in "" $([ -f /usr/share/bash-completion/bash_completion ] && echo yes); do
    while IFS='#' read -r tool words expected; do
        got=$(complete_bash "$tool" "$words" | tr '\n' '|')
        [ "$got" = "$expected" ] ||
            fail "bash${with_library:+ with bash-completion}: '$tool $words' offers '$got', not '$expected'"
    done <<'EOF'
sigsieve#-m b#bh|bonferroni|by|
sigsieve#--method=s#sidak|sidak-sd|storey|
sigsieve#--met#--method|
sigsieve#--report #dir|file.fa|my file.txt|x[1].txt|
seedtiler#-i #dir|file.fa|my file.txt|x[1].txt|
seedtiler#-i my#my file.txt|
seedtiler#-i x#x[1].txt|
seedtiler#-T #dir|
seedtiler#--temporary-directory=d#dir|
seedtiler#-k #
cohortmeans#-@ #
cohortmeans#3 #
EOF
done
if command -v fish >/dev/null; then
    while IFS='|' read -r tool words expected; do
        got=$(fish -c "source $build/packaging/fish/$tool.fish; complete -C '$tool $words'" | cut -f1 | tr '\n' ' ')
        [ "$got" = "$expected" ] || fail "fish: '$tool $words' offers '$got', not '$expected'"
    done <<'EOF'
sigsieve|--me|--method 
sigsieve|-m s|sidak sidak-sd storey 
seedtiler|-i |dir/ file.fa my file.txt x[1].txt 
seedtiler|--seeds=f|--seeds=file.fa 
seedtiler|-T |dir/ 
seedtiler|-k |
cohortmeans||
EOF
else
    echo "completion check: fish not found (Debian package fish): its completions are not tried"
fi
command -v zsh >/dev/null || echo "completion check: zsh not found (Debian package zsh): its scripts are not parsed"
echo "completion check passed"
