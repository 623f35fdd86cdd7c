#!/usr/bin/env bash
# Keeps host/NT_DIFFERENCES.md and the tests in step: every test the list
# names (`Suite.Test`) is a test of one of the test programs, and every
# difference a test's comment names (NT difference "<name>") is an entry of
# the list (**<name>**).
#   nt_differences_cited.sh DIFFERENCES_FILE TESTS_FOLDER TEST_PROGRAM...
set -euo pipefail
differences=$1
tests_folder=$2
shift 2

# Suite.Test for every test of the programs (parameterized ones as listed).
known=$(for program in "$@"; do
          "$program" --gtest_list_tests |
            awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }'
        done | sort -u)
cited=$(grep -oE '`[A-Z][A-Za-z0-9]*\.[A-Z][A-Za-z0-9]*`' "$differences" | tr -d '`' | sort -u)
entries=$(grep -oE '^- \*\*[a-z-]+\*\*' "$differences" | sed 's/^- \*\*//; s/\*\*$//' | sort -u)
named=$(grep -rhoE 'NT difference "[a-z-]+"' "$tests_folder" | sed 's/.*"\(.*\)"/\1/' | sort -u)

missing_tests=$(comm -23 <(echo "$cited") <(echo "$known"))
missing_entries=$(comm -23 <(echo "$named") <(echo "$entries"))
if [ -z "$cited" ] || [ -z "$entries" ]; then
  echo "$differences names no tests or no entries: is it the right file?"
  exit 1
fi
if [ -n "$missing_tests$missing_entries" ]; then
  [ -z "$missing_tests" ] || printf '%s cites tests that do not exist:\n%s\n' \
    "$differences" "$missing_tests"
  [ -z "$missing_entries" ] || printf 'tests name differences %s does not list:\n%s\n' \
    "$differences" "$missing_entries"
  exit 1
fi
echo "$(wc -l <<<"$cited") cited tests exist; $(wc -l <<<"$named") named differences are listed"
