#!/bin/sh
# Fails when a function of the given objects or archives uses a 256- or
# 512-bit register and then calls, jumps out or returns without clearing the
# upper halves (vzeroupper): code without AVX that runs after it would then go
# several times slower, with every figure still right, so no other test would
# notice. The scan is linear and errs on the safe side: code after a return or
# jump counts as reached from anywhere in the function, and a function's cold
# part as reached from its body. Names stay mangled: templates put "<" in the
# plain ones.
status=0
for object in "$@"; do
  if ! listing=$(objdump -d --no-show-raw-insn "$object"); then
    echo "$object: cannot be disassembled"
    status=1
    continue
  fi
  printf '%s\n' "$listing" | awk -v object="$object" '
    function leave(what) {
      if (dirty) { print object ": " fn " leaves the upper halves dirty at: " what; bad = 1 }
    }
    /^[0-9a-f]+ <.*>:$/ {
      name = $0; sub(/^[0-9a-f]+ </, "", name); sub(/>:$/, "", name)
      cold = name ~ /\.cold$/
      if (!cold) { fn = name; base = name; used = 0; dirty = 0 } else { dirty = used }
      next
    }
    /\tvzeroupper/ { dirty = 0; next }
    /%[yz]mm/ { used = 1; dirty = 1 }
    /\t(rep[a-z]* |bnd )?ret/ { leave($0); dirty = used; next }
    /\tcall/ { leave($0); next }
    /\tjmp/ {
      target = $0; sub(/.*</, "", target); sub(/[+>].*/, "", target)
      if ($0 ~ /jmp +\*/ || (target != base && target != base ".cold")) leave($0)
      dirty = used
    }
    END { exit bad }' || status=1
done
exit $status
