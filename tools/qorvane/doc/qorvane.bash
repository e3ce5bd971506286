# bash completion for qorvane: commands, options, the known keys (from
# `qorvane keys`) and the item names of a key (from `qorvane show` on the
# settings directory given with -d/--dir, or the current directory).

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
            -d | --dir) ((i++)); dir=${words[i]} ;;
            --dir=*) dir=${words[i]#--dir=} ;;
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

    case $prev in
        -d | --dir)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
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
            items=$("${words[0]}" -d "$dir" --wait 0.2 show "${operands[0]}" 2>/dev/null |
                while IFS= read -r line; do printf '%s\n' "${line%% = *}"; done)
            local IFS=$'\n'
            COMPREPLY=($(compgen -W "$items" -- "$cur"))
            ;;
    esac
}
complete -F _qorvane qorvane
