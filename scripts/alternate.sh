# Sourced by the compare-* scripts: `alternate RUNS MEASURE A B UNIT` calls `MEASURE A i` and
# `MEASURE B i` in turn for i = 1..RUNS, prints each pair, then the medians and their ratio.
median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : int((v[NR/2]+v[NR/2+1])/2)}'; }

alternate() {
    local runs=$1 measure=$2 first=$3 second=$4 unit=$5 i ma mb
    local -a a=() b=()
    for ((i = 1; i <= runs; i++)); do
        a+=("$("$measure" "$first" "$i")")
        b+=("$("$measure" "$second" "$i")")
        echo "run $i: ${a[-1]} ${b[-1]} $unit"
    done
    ma=$(printf '%s\n' "${a[@]}" | median)
    mb=$(printf '%s\n' "${b[@]}" | median)
    echo "median $unit: $first $ma, $second $mb, ratio $(awk -v x="$ma" -v y="$mb" 'BEGIN {printf "%.3f", x / y}')"
}
