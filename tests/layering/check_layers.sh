#!/usr/bin/env bash
# Fails when a source file includes a header from a higher layer, or when one
# file-system reader includes another. Usage: check_layers.sh SRC_DIR
set -euo pipefail
src=${1:?source folder}

# Lower numbers sit lower. A folder may include itself and anything strictly below.
rank_of() {
  case "$1" in
    resources) echo 0 ;;
    common) echo 1 ;;
    device) echo 2 ;;
    volume) echo 3 ;;
    scan) echo 4 ;;              # the results model
    raw) echo 5 ;;               # content checks, signatures, the RAW loop
    fs) echo 6 ;;
    recovery|session|imaging|tools|scanner) echo 7 ;;
    explore) echo 8 ;;
    shell) echo 9 ;;
    cli|gui) echo 10 ;;
    *) echo -1 ;;
  esac
}

status=0
while IFS= read -r -d '' file; do
  rel=${file#"$src"/}
  top=${rel%%/*}
  from=$(rank_of "$top")
  if [ "$from" -lt 0 ]; then
    echo "layering: $rel lies in a folder with no layer (add it to check_layers.sh)"
    status=1
    continue
  fi
  sub=""
  if [ "$top" = fs ]; then
    rest=${rel#fs/}
    [ "$rest" != "${rest#*/}" ] && sub=${rest%%/*}
  fi
  while IFS= read -r inc; do
    itop=${inc%%/*}
    to=$(rank_of "$itop")
    [ "$to" -lt 0 ] && continue   # system or generated header
    # The structure decoders of each file system (boot sectors, record headers)
    # depend on common/ only; identification and mount below fs/ share them.
    if [[ "$top" = volume && "$inc" =~ ^fs/[a-z0-9]+/[a-z0-9_]+_format\.h$ ]]; then continue; fi
    if [ "$itop" = "$top" ]; then
      if [ "$top" = fs ] && [ -n "$sub" ]; then
        irest=${inc#fs/}
        if [ "$irest" != "${irest#*/}" ]; then
          isub=${irest%%/*}
          if [ "$isub" != "$sub" ]; then
            echo "layering: $rel includes another reader's $inc"
            status=1
          fi
        fi
      fi
      continue
    fi
    if [ "$to" -gt "$from" ] || { [ "$to" -eq "$from" ] && [ "$itop" != "$top" ]; }; then
      echo "layering: $rel ($top) includes $inc ($itop), which is not below it"
      status=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find "$src" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' \) -print0)

[ "$status" -eq 0 ] && echo "layering: every include points down"
exit "$status"
