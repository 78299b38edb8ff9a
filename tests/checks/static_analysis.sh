#!/bin/sh
# clang-tidy and cppcheck over the program's sources, and the format of
# every C++ file; any finding fails.
# Usage: static_analysis.sh SOURCE_DIR BUILD_DIR (the build holds compile_commands.json)
source=$1
build=$2
failed=0

# The Windows files need the Windows headers; the cross build checks those.
files=$(cd "$source" && find src -name '*.cpp' ! -name '*_windows.cpp' | sort)
log=$(mktemp)
(cd "$source" && clang-tidy -p "$build" --quiet $files) >"$log" 2>&1 || failed=1
grep -v 'warnings generated\.$' "$log"
rm -f "$log"

cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ \
    --enable=warning,style,performance,portability --inline-suppr \
    --suppress=missingIncludeSystem -I "$source/src" "$source/src" || failed=1

# The tree keeps the one format of .clang-format.
(cd "$source" && find src tests -name '*.cpp' -o -name '*.h' | xargs clang-format --dry-run --Werror) || failed=1

[ "$failed" -eq 0 ] && echo "static analysis: no findings"
exit $failed
