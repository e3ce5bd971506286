# bash completion for qorvane: commands, options, the known keys (from
# `qorvane keys`) and the item names of a key (from `qorvane show` on the
# settings directory given with -d DIR, --dir DIR or --dir=DIR, or the
# current directory).

# A word as typed, without its quoting: quotes and backslash escapes.
_qorvane_unquote()
{
    local word=$1 out= quote= c i
    for ((i = 0; i < ${#word}; i++)); do
        c=${word:i:1}
        if [[ -n $quote ]]; then
            if [[ $c == "$quote" ]]; then quote=; else out+=$c; fi
        elif [[ $c == [\"\'] ]]; then
            quote=$c
        elif [[ $c == \\ ]]; then
            ((i++))
            out+=${word:i:1}
        else
            out+=$c
        fi
    done
    printf '%s' "$out"
}

# COMPREPLY from the lines of $2 that begin with the word $1 as typed, each
# quoted so that bash inserts it as one word (an item name may hold spaces).
_qorvane_reply()
{
    local typed=$1 prefix line
    prefix=$(_qorvane_unquote "$typed")
    COMPREPLY=()
    while IFS= read -r line; do
        [[ -n $line && $line == "$prefix"* ]] || continue
        # Inside an opened quote, bash inserts the text as it is.
        if [[ $typed == [\"\']* ]]; then
            COMPREPLY+=("$line")
        else
            COMPREPLY+=("$(printf '%q' "$line")")
        fi
    done <<<"$2"
}

_qorvane()
{
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi

    local commands="get set unset show check edit keys watch"
    local dir=. command= i
    local -a operands=()
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -d | --dir)
                # bash splits --dir=DIR into --dir, = and DIR.
                [[ ${words[i]} == --dir && ${words[i + 1]-} == = ]] && ((i++))
                ((i++))
                dir=$(_qorvane_unquote "${words[i]-}")
                ;;
            --dir=*) dir=$(_qorvane_unquote "${words[i]#--dir=}") ;;
            --wait | --count | --timeout | --expect) ((i++)) ;;
            --) ;;
            -*) ;;
            *)
                if [[ -z $command ]]; then
                    command=${words[i]}
                else
                    operands+=("${words[i]}")
                fi
                ;;
        esac
    done
    # A leading ~ as bash would expand it.
    [[ $dir == "~"* ]] && dir=$HOME${dir#"~"}

    # The directory of -d DIR, --dir DIR or --dir=DIR (just after the =,
    # the word is the = itself).
    if [[ $cur == = && $prev == --dir ]]; then
        _qorvane_reply "" "$(compgen -d)"
        return
    fi
    if [[ $prev == -d || $prev == --dir || ($prev == = && ${words[cword - 2]-} == --dir) ]]; then
        _qorvane_reply "$cur" "$(compgen -d -- "$(_qorvane_unquote "$cur")")"
        return
    fi
    case $prev in
        --wait | --count | --timeout | --expect) return ;;
    esac

    if [[ $cur == -* ]]; then
        local opts="-d --dir --wait --help"
        case $command in
            show | check) opts+=" --json" ;;
            edit) opts+=" --force" ;;
            set) opts+=" --expect --expect-absent" ;;
            unset) opts+=" --expect" ;;
            watch) opts+=" --json --count --timeout" ;;
            "") opts+=" --version" ;;
        esac
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        return
    fi

    local keys
    case $command in
        get | set | unset | show | watch)
            if ((${#operands[@]} == 0)); then
                keys=$("${words[0]}" keys 2>/dev/null | while read -r name _; do printf '%s\n' "$name"; done)
                COMPREPLY=($(compgen -W "$keys" -- "$cur"))
                return
            fi
            [[ $command == show || $command == watch ]] && return
            # set takes ITEM VALUE pairs: only every other operand is a name.
            if [[ $command == set ]] && (((${#operands[@]} - 1) % 2 == 1)); then
                return
            fi
            [[ $command == get ]] && ((${#operands[@]} > 1)) && return
            local items
            items=$("${words[0]}" -d "$dir" --wait 0.2 show "$(_qorvane_unquote "${operands[0]}")" 2>/dev/null |
                while IFS= read -r line; do printf '%s\n' "${line%% = *}"; done)
            _qorvane_reply "$cur" "$items"
            ;;
    esac
}
complete -F _qorvane qorvane
