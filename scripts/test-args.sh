# Sourced by test.sh and test-sanitizers.sh, which run pytest from tests/.
# Test paths are taken as typed where the script was started (the project
# root, say): tests/test_book.py, tests/test_book.py::test_rename,
# --ignore=tests/test_wheel.py. Each one that exists from there is made
# absolute; everything else, paths relative to tests/ included, goes to
# pytest as given. Sets the array r7u_test_args.
r7u_test_args=()
r7u_value_follows=""
for r7u_arg in "$@"; do
    r7u_prefix="" r7u_value="$r7u_arg"
    if [ -n "$r7u_value_follows" ]; then
        # The expression of -k or -m, a plugin name, an option: never a path.
        r7u_value_follows=""
        r7u_test_args+=("$r7u_arg")
        continue
    fi
    case "$r7u_arg" in
        -[kmpoWcn] | --maxfail | --tb | --durations) r7u_value_follows=1; r7u_test_args+=("$r7u_arg"); continue ;;
        --*=*) r7u_prefix="${r7u_arg%%=*}=" r7u_value="${r7u_arg#*=}" ;;
        -*) r7u_test_args+=("$r7u_arg"); continue ;;
    esac
    r7u_path="${r7u_value%%::*}"
    if [ -n "$r7u_path" ] && [ -e "$r7u_path" ]; then
        r7u_value="$(cd "$(dirname "$r7u_path")" && pwd)/$(basename "$r7u_path")${r7u_value:${#r7u_path}}"
    fi
    r7u_test_args+=("$r7u_prefix$r7u_value")
done
unset r7u_arg r7u_prefix r7u_value r7u_path r7u_value_follows
