#!/usr/bin/env bash
# Prints the non-blank, non-comment C++ lines of tests/ against those of src/
# and sim/, and the tests' share of the code. A line counts when anything but
# white space and comments is on it (// to the end of the line, /* ... */
# across lines; quotes are respected).
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.cc' -o -name '*.hpp' \) -print0 | sort -z |
        xargs -0 -r cat | awk '
        {
            code = 0; n = length($0)
            for (i = 1; i <= n; i++) {
                c = substr($0, i, 1); c2 = substr($0, i, 2)
                if (block) { if (c2 == "*/") { block = 0; i++ } continue }
                if (quote != "") { code = 1; if (c == "\\") i++; else if (c == quote) quote = ""; continue }
                if (c2 == "//") break
                if (c2 == "/*") { block = 1; i++; continue }
                if (c == "\"" || c == "'\''") { quote = c; code = 1; continue }
                if (c != " " && c != "\t" && c != "\r") code = 1
            }
            quote = ""
            lines += code
        }
        END { print lines + 0 }'
}

tests=$(count tests)
code=$(count src sim)
echo "tests: $tests lines"
echo "code:  $code lines (src/ and sim/)"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "share: %.1f%%\n", c ? 100 * t / c : 0 }'
