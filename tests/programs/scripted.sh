# A bash script that exercises the shell's own allocations: arrays, associative arrays, string
# expansion, subshells and command substitution.
set -u
declare -A counts
words=()
for ((i = 0; i < 20000; i++)); do
  word="w$((i * 7919 % 1000))" && words+=("$word") && counts[$word]=$((${counts[$word]:-0} + 1))
done
joined="${words[*]}" && upper="${joined^^}" && total=0
for key in "${!counts[@]}"; do total=$((total + counts[$key])); done
echo "words ${#words[@]} distinct ${#counts[@]} joined length ${#joined}"
echo "replaced ${#upper} ${upper:0:20} total $total"
lines=$(for ((i = 0; i < 2000; i++)); do echo "line $i $((i * i))"; done | sort -k3 -n | tail -3)
echo "$lines"
echo "subshell: $( (echo nested; echo "$((6 * 7))") | tr '\n' ' ')"
