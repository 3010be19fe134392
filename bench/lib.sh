# Shared by the benchmark scripts: timing one run, and ratios.
# Each run starts with no dirty pages of the one before, so writeback is not charged to the next.
seconds() { local s e; sync; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); awk -v a="$s" -v b="$e" 'BEGIN { print b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Recovers everything of IMAGE with the CLI, after one warming read, and prints
# the time against a plain read of the image and against tsk_recover -e.
compare_recovery() {  # CLI IMAGE
  local cli=$1 img=$2 out plain ours peer
  cat "$img" > /dev/null
  out=$(mktemp -d)
  plain=$(seconds cat "$img")
  ours=$(seconds "$cli" recover "$img" --to "$out/ours" --recursive)
  echo "cat of the image:        $(printf '%.2f' "$plain") s ($(du -sh "$img" | cut -f1))"
  echo "kestrova-cli recover -r: $(printf '%.2f' "$ours") s ($(du -sh "$out/ours" | cut -f1) written)"
  echo "ratio to the read limit: $(ratio "$ours" "$plain")"
  if command -v tsk_recover >/dev/null 2>&1; then
    peer=$(seconds tsk_recover -e "$img" "$out/tsk")
    echo "tsk_recover -e:          $(printf '%.2f' "$peer") s ($(du -sh "$out/tsk" | cut -f1) written)"
    echo "ratio to tsk_recover:    $(ratio "$ours" "$peer")"
  fi
  rm -rf "$out"
}
