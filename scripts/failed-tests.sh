#!/bin/sh
# SPDX-License-Identifier: MIT
# After a CTest run that failed, says why each failed test failed, from the
# run's log, so that the end of the output (all that some logs keep) holds
# it rather than only the list of names:
#   scripts/failed-tests.sh BUILD_FOLDER
# For a GoogleTest case: its failure messages, up to 12 lines each; for any
# other test, or one that printed no failure (a time-out): its output's
# last 10 lines.
set -eu
log=$1/Testing/Temporary/LastTest.log
failed=$1/Testing/Temporary/LastTestsFailed.log
[ -f "$log" ] && [ -f "$failed" ] || exit 0
echo
echo "Why they failed (from $log):"
cut -d: -f2- "$failed" | while IFS= read -r name; do
  echo "== $name"
  awk -v name="$name" '
    $0 ~ /^[0-9]+\/[0-9]+ Testing: / { mine = substr($0, index($0, ": ") + 2) == name; next }
    !mine { next }
    /^Output:$/ { getline; inside = 1; count = 0; next }
    /^<end of output>$/ { inside = 0; mine = 0
      if (!shown) { first = count > 10 ? count - 9 : 1
        for (i = first; i <= count; i++) print "  " line[i] }
      next }
    inside {
      line[++count] = $0
      if ($0 ~ /Failure$/) { left = 12; shown = 1 }
      if ($0 ~ /^\[  FAILED  \]/) left = 0
      if (left > 0) { print "  " $0; left-- }
    }' "$log"
done
