# bash completion for amctl: commands, their options, option values and
# file arguments. Needs nothing but bash itself (not the bash-completion
# package's helpers), so it also works where that package is missing.

_amctl() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=""
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    # The command: the words before the cursor that are not options.
    local command="" i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            -*) ;;
            settings) command=settings ;;
            encode | decode) [[ $command == settings ]] && command="settings $word" ;;
            *) [[ -z $command ]] && command=$word ;;
        esac
    done

    local options="" values="" files=1
    case $command in
        "")
            COMPREPLY=($(compgen -W "settings run explain test demo check schema send results status --help --version" -- "$cur"))
            return 0
            ;;
        settings)
            COMPREPLY=($(compgen -W "encode decode --help" -- "$cur"))
            return 0
            ;;
        "settings encode") options="-o --output --version -v --verbose --help" ;;
        "settings decode") options="--version --strict -v --verbose --help" ;;
        run) options="--jsonl --events --dry-run -v --verbose --help" ;;
        explain) options="--jsonl --events -v --verbose --help" ;;
        test) options="--junit -v --verbose --help" ;;
        demo) options="--jsonl -v --verbose --help" files=0 ;;
        check) options="--version --strict --format --help" ;;
        schema) options="--help" values="settings scenario service" files=0 ;;
        send) options="--wait --url --socket --token-file --ca-file --help" ;;
        results) options="--profile --event-id --since --until --limit --all --json --follow --url --token-file --ca-file --help" files=0 ;;
        status) options="--event-id --json --url --token-file --ca-file --help" files=0 ;;
        *) return 0 ;;
    esac

    case $prev in
        --format)
            COMPREPLY=($(compgen -W "text json sarif" -- "$cur"))
            return 0
            ;;
        --version)
            COMPREPLY=($(compgen -W "1 2 3 4 5 6 7 8 9 10 11" -- "$cur"))
            return 0
            ;;
        --url)
            COMPREPLY=($(compgen -W "http:// https://" -- "$cur"))
            return 0
            ;;
        --profile | --event-id | --since | --until | --limit)
            return 0
            ;;
        -o | --output | --events | --junit | --socket | --token-file | --ca-file)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return 0
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -n $values ]]; then
        COMPREPLY=($(compgen -W "$values" -- "$cur"))
    elif ((files)); then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
    return 0
}

complete -F _amctl amctl
