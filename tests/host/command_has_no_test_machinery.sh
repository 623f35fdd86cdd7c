#!/usr/bin/env bash
# The shipped command carries none of the host kernel's testing library
# (fault injection, power loss, the kernel-stack budget): no global symbol of
# namespace host that the library defines is in the command, and no symbol of
# the command is named for that machinery.
#   command_has_no_test_machinery.sh COMMAND TESTING_LIBRARY
set -euo pipefail
command=$1
library=$2

# Demangled names of the defined symbols of a file, with their nm types.
symbols() { nm -C --defined-only "$1" | awk 'NF >= 3 { $1 = ""; print substr($0, 2) }'; }

library_globals=$(symbols "$library" | awk '$1 ~ /^[TDBR]$/ && $2 ~ /^host::/' |
                  cut -d' ' -f2- | sort -u)
for expected in 'host::InjectFileFault(' 'host::CutPower(' 'host::SetKernelStackBudget('; do
  if ! grep -qF "$expected" <<<"$library_globals"; then
    echo "the testing library $library defines no $expected...: is it the right file?"
    exit 1
  fi
done

command_symbols=$(symbols "$command" | cut -d' ' -f2- | sort -u)
shared=$(comm -12 <(echo "$library_globals") <(echo "$command_symbols"))
named=$(grep -E 'FileFault|InjectFileFault|PowerLoss|PowerCut|CutPower|StackBudget|FailAllocation|FailUuidCreate|FailMapping|FailErrorLogAllocation|CreateHistory|ResetForTest' \
        <<<"$command_symbols" || true)
if [ -n "$shared$named" ]; then
  echo "$command carries test machinery:"
  printf '%s\n' "$shared" "$named" | sed '/^$/d'
  exit 1
fi
echo "$command: no symbol of the testing library"
