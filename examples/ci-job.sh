#!/bin/sh
# A CI step: start the pipelines' runs and wait until they have FINISHED, trying again only while the engine is
# unavailable. velm finds the engine in VELM_URL, VELM_USER and VELM_PASSWORD (the job's settings and secrets).
#   PIPELINES     the runs to start, separated by blanks (default: nightly-load)
#   RUN_TIMEOUT   seconds the runs may take (default: 1800)
#   RETRY_PAUSES  seconds to pause before each new try (default: "30 60 120", four tries in all)
set -u
pipelines=${PIPELINES:-nightly-load}
code=0
for pause in ${RETRY_PAUSES:-30 60 120} none; do
  code=0
  # --attach: a run that an earlier try started is waited for, not refused.
  velm start --attach $pipelines --wait --timeout "${RUN_TIMEOUT:-1800}" || code=$?
  # Only 5 (the engine unavailable) is worth another try; 7 (velm set up wrong) and the others are final.
  if [ "$code" -ne 5 ] || [ "$pause" = none ]; then break; fi
  echo "engine unavailable (exit 5): trying again in $pause s" >&2
  sleep "$pause"
done
if [ "$code" -eq 1 ]; then
  for pipeline in $pipelines; do velm history "$pipeline"; done   # what the engine recorded, for the job log
fi
exit "$code"   # 1 failed, 3 timed out, 4 refused, 5 still unavailable, 6 not the engine, 7 set up wrong
