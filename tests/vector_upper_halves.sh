#!/bin/sh
# Fails when a function of the given objects or archives uses a 256- or
# 512-bit register and then calls or returns without clearing the upper halves
# (vzeroupper): code without AVX that runs after it would then go several times
# slower, with every figure still right, so no other test would notice.
status=0
for object in "$@"; do
  objdump -d --no-show-raw-insn -C "$object" | awk -v object="$object" '
    /^[0-9a-f]+ <.*>:$/ { fn = $0; dirty = 0; next }
    /vzeroupper/ { dirty = 0; next }
    /%[yz]mm/ { dirty = 1 }
    dirty && /\t(ret|call)/ { print object ": " fn " leaves the upper halves dirty at: " $0; bad = 1; dirty = 0 }
    END { exit bad }' || status=1
done
exit $status
