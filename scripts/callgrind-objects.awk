# Sums the self cost (first event, Ir) of a callgrind output file per ELF
# object: prints "cost object" lines.
function name(field,   id, rest) {
    # "(3) /lib/x.so" defines id 3; "(3)" refers to it; a bare name has no id.
    if (match(field, /^\([0-9]+\)/)) {
        id = substr(field, 2, RLENGTH - 2)
        rest = substr(field, RLENGTH + 1)
        sub(/^ /, "", rest)
        if (rest != "") objects[id] = rest
        return objects[id]
    }
    return field
}
/^ob=/ { ob = name(substr($0, 4)); next }
/^cob=/ { name(substr($0, 5)); next }
/^calls=/ { skip = 1; next }
/^[0-9+*-]/ {
    if (skip) { skip = 0; next }
    cost[ob] += $2
    next
}
END { for (o in cost) printf "%d %s\n", cost[o], o }
