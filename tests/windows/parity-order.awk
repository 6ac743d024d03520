# Checks a Wine trace (WINEDEBUG=+pid,+timestamp,+comm,+file) of a host program session:
# every request must put its address byte on the line with mark parity and its frame with
# space parity, in that order, with the line switched between them. Several serial handles
# (readers driven from several threads at once) are checked each on its own.
#
#   awk -v expected=N -f parity-order.awk trace.log
#
# Trace lines read "seconds.millis:pid:tid:class:channel:function ...". A serial handle is one
# that saw IOCTL_SERIAL_SET_LINE_CONTROL; the parity in force on it is the one of the DCB that
# SetCommState dumped just before on the same thread (dump_dcb ... Parity=P; 0 none, 3 mark,
# 4 space). Every WriteFile on a serial handle is taken with the parity then in force on it.
#
# Passes (exit 0) when: on every serial handle the writes are pairs of (1 byte, Parity=3) then
# (a frame of 7 or more bytes, Parity=4); the two writes of a pair are at least 1 ms apart (the
# pause after the address byte); the pairs of all handles add up to N; and Wine reported no comm
# errors.

function millis(stamp,    parts) {
    split(stamp, parts, ".")
    return parts[1] * 1000 + parts[2]
}

function handle_id(text) {
    text = tolower(text)
    sub(/^0x/, "", text)
    sub(/^0+/, "", text)
    return text
}

{
    if (split($0, field, ":") < 6) next
    stamp = field[1]; pid = field[2]; tid = field[3]; class = field[4]; channel = field[5]
    rest = substr($0, length(field[1] field[2] field[3] field[4] field[5]) + 6)
}

class == "trace" && channel == "file" && rest ~ /^dump_dcb / {
    if (match(rest, / Parity=[0-9]+/)) last_parity[pid, tid] = substr(rest, RSTART + 8, RLENGTH - 8) + 0
    next
}

class == "trace" && channel == "comm" && rest ~ /^io_control / && rest ~ /IOCTL_SERIAL_SET_LINE_CONTROL/ {
    split(rest, word, " ")
    key = pid ":" handle_id(word[2])
    if (!(key in serial)) {
        serial[key] = 1
        handles++
        handle_key[handles] = key
    }
    parity[key] = ((pid, tid) in last_parity) ? last_parity[pid, tid] : -1
    mode_changes++
    next
}

class == "err" && channel == "comm" {
    errors++
    error_text[errors] = $0
    next
}

class == "trace" && channel == "file" && rest ~ /^WriteFile / {
    split(rest, word, " ")
    key = pid ":" handle_id(word[2])
    if (!(key in serial)) next
    writes++
    n = ++write_total[key]
    write_count[key, n] = word[4] + 0
    write_parity[key, n] = parity[key]
    write_time[key, n] = millis(stamp)
}

END {
    pairs = 0; faults = 0; min_gap = -1; summary = ""
    for (h = 1; h <= handles; h++) {
        key = handle_key[h]
        total = write_total[key] + 0
        if (total == 0) continue
        handle_pairs = 0
        for (i = 1; i <= total; i++) {
            where = "handle " key ": "
            if (write_count[key, i] != 1) {
                print "parity-order: " where "write " i " of " write_count[key, i] " bytes (Parity=" write_parity[key, i] ") has no address byte before it"
                faults++
                continue
            }
            if (write_parity[key, i] != 3) {
                print "parity-order: " where "address byte " i " written with Parity=" write_parity[key, i] ", want 3 (mark)"
                faults++
            }
            if (i == total || write_count[key, i + 1] == 1) {
                print "parity-order: " where "address byte " i " is not followed by a frame"
                faults++
                continue
            }
            i++
            if (write_parity[key, i] != 4) {
                print "parity-order: " where "frame " i " written with Parity=" write_parity[key, i] ", want 4 (space)"
                faults++
            }
            if (write_count[key, i] < 7) {
                print "parity-order: " where "frame " i " has " write_count[key, i] " bytes, want 7 or more"
                faults++
            }
            gap = write_time[key, i] - write_time[key, i - 1]
            if (min_gap < 0 || gap < min_gap) min_gap = gap
            if (gap < 1) {
                print "parity-order: " where "frame " i " followed its address byte after " gap " ms, want 1 ms or more"
                faults++
            }
            handle_pairs++
        }
        pairs += handle_pairs
        summary = summary (summary == "" ? "" : ", ") handle_pairs " on handle " key
    }
    for (e = 1; e <= errors; e++) {
        print "parity-order: Wine reported a comm error: " error_text[e]
        faults++
    }
    if (pairs != expected) {
        print "parity-order: " pairs " requests on the line, want " expected
        faults++
    }
    if (faults > 0) {
        print "parity-order: FAIL (" faults " faults; " (writes + 0) " writes, " (mode_changes + 0) " line-mode changes)"
        exit 1
    }
    print "parity-order: ok: " pairs " requests (" summary "), each address byte with mark parity (Parity=3), then its frame with space parity (Parity=4); " mode_changes " line-mode changes; address-to-frame gap at least " min_gap " ms"
}
