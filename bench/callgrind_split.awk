# Splits a callgrind profile of cost_driver into the library's own instructions
# and the pcap test double's, and the library's into payload copy, zero fill
# and the rest. Run on a profile written with --compress-strings=no
# --compress-pos=no and --toggle-collect on the measured call, so that every
# instruction in the file was executed inside that call.
#
#   awk -v frames=N -f callgrind_split.awk callgrind.out
#
# Method:
#  - double:  the inclusive cost of every call from library code into pcap_*
#             and its sendmmsg (the test double's entry points), less that of the double's
#             calls back into the library (pcap_dispatch's callback); what is
#             left is the library's.
#  - copy:    instructions on library source lines that copy payload bytes
#             (memcpy, memmove, std::copy: the compiler may inline them as rep
#             movs) plus calls from library code into memcpy/memmove. Copies
#             of addresses (6 bytes, kMacSize, a header's prefix) are not
#             payload: they count as the rest.
#  - fill:    the same for memset / std::fill (zero fill of short frames).
#  - rest:    library − copy − fill: header, decoding, bookkeeping, loop.
# Prints "key value" lines; per-function self costs as "fn <instr/frame> <name>".

function source_text(file, line,    text, n) {
    if (!(file in loaded)) {
        loaded[file] = 1
        n = 0
        while ((getline text < file) > 0) source[file, ++n] = text
        close(file)
    }
    return source[file, line]
}
function library_file(file) { return file ~ /\/src\/[a-z]+\/[^\/]+$/ }
function double_entry(name) { return name ~ /^pcap_|^fake_pcap::sendmmsg/ }

/^fl=/ { fl = substr($0, 4); current = fl; next }
/^(fi|fe)=/ { current = substr($0, 4); next }
/^fn=/ { fn = substr($0, 4); current = fl; fn_file[fn] = fl; next }
/^cfn=/ { callee = substr($0, 5); next }
/^calls=/ { in_call = 1; next }
/^summary:|^totals:/ { summary = $2; next }
/^[0-9]/ {
    cost = $2
    caller_in_library = library_file(fn_file[fn]) && !double_entry(fn)
    if (in_call) {
        in_call = 0
        if (double_entry(callee) && !double_entry(fn)) double_cost += cost
        else if (double_entry(fn) && callee ~ /spweth::/) double_cost -= cost  # a callback
        else if (caller_in_library && callee ~ /mem(cpy|move)/) copy += cost
        else if (caller_in_library && callee ~ /memset/) fill += cost
        next
    }
    total += cost
    if (!caller_in_library) next
    self[fn] += cost
    text = source_text(current, $1)
    if (text ~ /memcpy|memmove|std::copy/ && text !~ /kMacSize|, 6\)|sizeof prefix/) copy += cost
    else if (text ~ /memset|std::fill/) fill += cost
}
END {
    if (frames <= 0) { print "error no frame count"; exit 1 }
    library = total - double_cost
    printf "frames %d\n", frames
    printf "total %.1f\n", total / frames
    printf "double %.1f\n", double_cost / frames
    printf "library %.1f\n", library / frames
    printf "copy %.1f\n", copy / frames
    printf "fill %.1f\n", fill / frames
    printf "rest %.1f\n", (library - copy - fill) / frames
    accounted = 0
    for (name in self) {
        printf "fn %.1f %s\n", self[name] / frames, name
        accounted += self[name]
    }
    printf "fn %.1f %s\n", (library - accounted) / frames, "C library: memcpy, and any code outside src/"
}
