# Shared by the benchmark scripts: timing one run, and ratios.
# Each run starts with no dirty pages of the one before, so writeback is not charged to the next.
seconds() { local s e; sync; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); awk -v a="$s" -v b="$e" 'BEGIN { print b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
