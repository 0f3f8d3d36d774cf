#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Gives every source file of the tree its one-line licence header,
#   SPDX-License-Identifier: Apache-2.0
# as a comment of the file's language, first in the file (after a "#!" line). Files that
# have it are left as they are, so running it again, as after a merge, adds only what new
# files lack.
#
#   scripts/spdx-headers.sh            add the line where it is missing
#   scripts/spdx-headers.sh --check    list the files that lack it; exit 1 when any does
#
# Source files: C++ (.cpp, .h), interface descriptions (.zi), shell (.sh and scripts that start with "#!"), CMake
# (CMakeLists.txt, .cmake), templates (.in), the units and rules in dist/, debian/rules and
# the maintainer scripts, and the manual pages. Not data (fuzz corpora and dictionaries),
# not prose (.md, LICENSE), not debian/'s control files, whose format allows no comment.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
[ "${1:-}" = --check ] && check=1
line='SPDX-License-Identifier: Apache-2.0'

# The comment that carries the line in `file`, or nothing when it is not a source file.
comment_for() {
    case $1 in
    fuzz/corpus/* | *.md | LICENSE | debian/changelog | debian/copyright | debian/control | \
        debian/source/* | debian/*.install) ;;
    *.cpp | *.h | *.zi) echo "// $line" ;;
    *.1 | *.8) echo ".\\\" $line" ;;
    *.sh | *.cmake | */CMakeLists.txt | CMakeLists.txt | *.in | dist/*.socket | dist/*.conf | \
        dist/*.tmpfiles | dist/*.sysusers | dist/*.bash-completion | debian/rules | \
        debian/*.postrm | debian/*.postinst | debian/*.prerm | debian/*.preinst | .ci/run)
        echo "# $line" ;;
    *) head -c2 "$1" | grep -q '^#!' && echo "# $line" ;;
    esac
}

files() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --cached --others --exclude-standard
    else
        find . -type f ! -path './build*' ! -path './.git/*' | sed 's#^\./##'
    fi
}

missing=0
while IFS= read -r file; do
    [ -f "$file" ] || continue
    comment=$(comment_for "$file") || true
    [ -n "$comment" ] || continue
    grep -qF "$line" "$file" && continue
    missing=$((missing + 1))
    if [ $check -eq 1 ]; then
        echo "$file"
        continue
    fi
    if head -c2 "$file" | grep -q '^#!'; then
        { head -n1 "$file"; echo "$comment"; tail -n +2 "$file"; } >"$file.spdx"
    else
        { echo "$comment"; cat "$file"; } >"$file.spdx"
    fi
    chmod --reference="$file" "$file.spdx"
    mv "$file.spdx" "$file"
done < <(files)
if [ $check -eq 1 ] && [ $missing -gt 0 ]; then
    echo "$missing source files lack the line \"$line\"; scripts/spdx-headers.sh adds it" >&2
    exit 1
fi
[ $check -eq 1 ] || echo "added the licence line to $missing files"
