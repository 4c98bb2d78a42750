#!/usr/bin/env bash
# Fails, naming them, when C++ files of the project are not formatted as .clang-format says.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files -- 'src/*' 'tools/*' 'standin/*' 'tests/*' 'bench/*' |
    grep -E '\.(cpp|h|hpp|cc)$')
unformatted=()
for file in "${files[@]}"; do
    [ -f "$file" ] || continue
    if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
        unformatted+=("$file")
    fi
done
if [ ${#unformatted[@]} -gt 0 ]; then
    echo "not formatted by .clang-format (clang-format -i FILE):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
fi
echo "${#files[@]} files formatted"
