-- spweth.lua: Wireshark / tshark (4.0, Lua 5.2) dissector for the frames that
-- libspweth exchanges with a SpaceWire-Ethernet bridge (EtherType 0x06AB), and
-- for the RMAP packets carried inside them.
--
-- Load it with  tshark -X lua_script:spweth.lua ...  or copy it into
-- ~/.local/lib/wireshark/plugins/.
--
-- The dissector decodes frames as the library's receiver does: the same
-- accepted type bytes, the same flag bits, the same little-endian length and
-- the same names (the texts of print_frame_type, print_error_type,
-- print_conn_state, print_speed and print_switch_mode).

local band, bor, bxor, rshift = bit32.band, bit32.bor, bit32.bxor, bit32.rshift

local spweth = Proto("spweth", "SpaceWire-Ethernet bridge")
local spwrmap = Proto("spwrmap", "SpaceWire RMAP")

------------------------------------------------------------------ wire facts

-- Our buffer starts after the Ethernet addresses and EtherType (14 bytes);
-- the bridge header's last 5 bytes come first in it.
local kEthernetSize = 14
local kHeaderSize = 19
local kTypeAt, kNumberAt, kLengthAt, kCreditsAt, kPayloadAt = 0, 1, 2, 4, 5
local kCommFlag, kTimerFlag = 0x40, 0x80
local kConfPayloadLength = 46 -- announced by every configuration frame
local kStatusRecordSize = 88

local MOF, FEOF, FEEF, SOF, EOF, EEF = 0, 1, 2, 3, 4, 5
local CCODES, ERRORS, STATUS, TYPE_136, CONF = 6, 7, 8, 136, 255

-- The texts that print_frame_type prints (trailing blanks left out).
local type_names = {
    [MOF] = "Part of SpW packet",
    [FEOF] = "Full SpW packet  with EOP",
    [FEEF] = "Full SpW packet  with EEP",
    [SOF] = "First part of SpW packet",
    [EOF] = "Last part of SpW packet  with EOP",
    [EEF] = "Last part of SpW packet  with EEP",
    [CCODES] = "Frame of CCodes",
    [ERRORS] = "Frame with errors",
    [STATUS] = "Status",
    [TYPE_136] = "ERROR 136",
    [CONF] = "Configure packet",
}
local type_short = {
    [MOF] = "MOF", [FEOF] = "FEOF", [FEEF] = "FEEF", [SOF] = "SOF", [EOF] = "EOF",
    [EEF] = "EEF", [CCODES] = "CCODES", [ERRORS] = "ERROR", [STATUS] = "STATUS",
    [TYPE_136] = "TYPE136", [CONF] = "CONFIG",
}

-- What each data type does to a SpaceWire packet.
--   starts: begins a packet; ends: completes it; eep: ends it with EEP.
local fragment_rules = {
    [SOF] = { starts = true },
    [MOF] = {},
    [EOF] = { ends = true },
    [EEF] = { ends = true, eep = true },
    [FEOF] = { starts = true, ends = true },
    [FEEF] = { starts = true, ends = true, eep = true },
}

-- The texts that print_error_type prints, one line each.
local error_texts = {
    [0] = "Credit info",
    [1] = "SOF, FEEF, FEOF data frame number bigger at 2 or more. Previous data frame was SOF or MOF",
    [2] = "SOF, FEEF, FEOF data frame number bigger at 2 or more. Previous data frame was EOF, EEF, FEOF or FEEF",
    [3] = "MOF, EEF, EOF data frame number bigger at 2 or more. Previous data frame was SOF or MOF",
    [4] = "MOF, EEF, EOF data frame number bigger at 2 or more. Previous data frame was EOF, EEF,FEOF or FEEF",
    [5] = "Number of Ccode frame bigger at 2 or more",
}
local kOtherErrorText = "OTHER"
local function error_text(code) return error_texts[code] or kOtherErrorText end
local error_values = {}
for code = 0, 255 do error_values[code] = error_text(code) end

-- print_conn_state, print_speed (Mbit/s), print_switch_mode.
local link_state_names = {
    [0] = "ERROR_RESET", [1] = "ERROR_WAIT", [2] = "READY",
    [3] = "STARTED", [4] = "CONNECTING", [5] = "RUN",
}
local speed_names = {
    [0x00] = "400", [0x01] = "300", [0x02] = "200", [0x04] = "100",
    [0x08] = "50", [0x10] = "10", [0x20] = "500", [0x80] = "400 (default)",
}
local switch_mode_names = {
    [0] = "switch off",
    [1] = "receive / send only first port",
    [2] = "receive / send only second port",
    [3] = "switch on (two ports work)",
    [4] = "auto mode",
    [5] = "Spw port to SpW port",
    [6] = "Spw port to SpW port,  SpW1 to ETH",
    [7] = "Spw port to SpW port,  SpW2 to ETH",
    [8] = "Spw port to SpW port,  SpW1 and SpW2 to ETH",
}
-- print_switch_mode_ccode differs in one row only.
local ccode_switch_mode_names = {}
for mode, name in pairs(switch_mode_names) do ccode_switch_mode_names[mode] = name end
ccode_switch_mode_names[4] = "error value!"

-- A control code: two control flags and six value bits, as the library's
-- senders encode them (time 00vvvvvv, interrupt 01vvvvvv or 100iiiii,
-- acknowledge 10vvvvvv or 101iiiii, CC01 010vvvvv, CC11 110vvvvv).
local ccode_flag_names = {
    [0] = "Time code",
    [1] = "Interrupt code / CC01",
    [2] = "Acknowledge code / five-bit interrupt or acknowledge",
    [3] = "CC11",
}

local function accepted_type(t) return t <= 8 or t == TYPE_136 or t == CONF end

-- The receiver's type decoding: a type byte that is not accepted as it is
-- loses its flag bits, which then count; the frame is ignored when the
-- remaining type is not accepted either. Returns type (nil: ignored) and
-- whether the flags apply.
local function decode_type(byte)
    if accepted_type(byte) then return byte, false end
    local t = band(byte, 0x3F)
    return accepted_type(t) and t or nil, true
end

-- Frame-number counters: data and configuration frames share one, control-code
-- frames have their own; the others are not checked.
local function counter_of(t)
    if fragment_rules[t] or t == CONF then return "data" end
    if t == CCODES then return "control codes" end
end

------------------------------------------------------------------ fields

local f = spweth.fields
f.type_byte = ProtoField.uint8("spweth.type_byte", "Type byte", base.HEX)
f.comm = ProtoField.bool("spweth.flags.comm", "Comm byte flag", 8, nil, kCommFlag)
f.timer = ProtoField.bool("spweth.flags.timer", "Receive timer flag", 8, nil, kTimerFlag)
f.type = ProtoField.uint8("spweth.type", "Type", base.DEC, type_names)
f.number = ProtoField.uint8("spweth.number", "Frame number")
f.expected = ProtoField.uint8("spweth.number.expected", "Expected frame number")
f.length = ProtoField.uint16("spweth.length", "Payload length")
f.credits = ProtoField.uint8("spweth.credits", "Credits")
f.payload = ProtoField.bytes("spweth.payload", "Payload")
f.padding = ProtoField.bytes("spweth.padding", "Padding")

f.ccode = ProtoField.uint8("spweth.ccode", "Control code", base.HEX)
f.ccode_flags = ProtoField.uint8("spweth.ccode.flags", "Control flags", base.DEC, ccode_flag_names, 0xC0)
f.ccode_value = ProtoField.uint8("spweth.ccode.value", "Value", base.DEC, nil, 0x3F)

f.error_type = ProtoField.uint8("spweth.error.type", "Error type", base.DEC, error_values)
f.error_credits = ProtoField.uint8("spweth.error.credits", "Credits reported")
f.error_expected = ProtoField.uint8("spweth.error.expected", "Expected frame number")
f.error_received = ProtoField.uint8("spweth.error.received", "Received frame number")
f.error_data = ProtoField.bytes("spweth.error.data", "Error data")

f.status_time = ProtoField.uint32("spweth.status.time", "Time (ms)")
local channel_layout = {
    { "tx_bytes", 0, 8, "Tx bytes" }, { "rx_bytes", 8, 8, "Rx bytes" },
    { "tx_packets", 16, 4, "Tx packets" }, { "rx_packets", 20, 4, "Rx packets" },
    { "rx_packets_eep", 24, 4, "Rx packets EEP" }, { "tx_rate", 28, 4, "Tx bytes/sec" },
    { "rx_rate", 32, 4, "Rx bytes/sec" }, { "link_state", 36, 1, "State" },
}
local channel_fields = {}
for _, port in ipairs({ "spw1", "spw2" }) do
    channel_fields[port] = {}
    for _, row in ipairs(channel_layout) do
        local name, size = row[1], row[3]
        local abbr = "spweth.status." .. port .. "." .. name
        local field
        if size == 8 then
            field = ProtoField.uint64(abbr, row[4])
        elseif name == "link_state" then
            field = ProtoField.uint8(abbr, row[4], base.DEC, link_state_names)
        else
            field = ProtoField.uint32(abbr, row[4])
        end
        f[port .. "_" .. name] = field
        channel_fields[port][name] = field
    end
end
f.status_speed = ProtoField.uint8("spweth.status.speed", "Speed (Mbit/s)", base.HEX, speed_names)
f.status_reserved = ProtoField.bytes("spweth.status.reserved", "Reserved")
f.status_switch_word = ProtoField.uint16("spweth.status.switch_state_word", "Switch state word", base.HEX)
f.status_switch = ProtoField.uint8("spweth.status.switch_state", "Switch state", base.HEX)
f.status_data_mode = ProtoField.uint8("spweth.status.switch_mode.data", "Switch mode data", base.DEC, switch_mode_names, 0x0F)
f.status_ccode_mode = ProtoField.uint8("spweth.status.switch_mode.ccode", "Switch mode ccode", base.DEC, ccode_switch_mode_names, 0xF0)

f.conf_marker = ProtoField.string("spweth.conf.marker", "Marker")
f.conf_edit0 = ProtoField.uint8("spweth.conf.edit0", "edit0", base.HEX)
f.conf_edit1 = ProtoField.uint8("spweth.conf.edit1", "edit1", base.HEX)
local edit0_bits = {
    { "host_mac", 0x01, "Set the host's address (new_dest_addr)" },
    { "bridge_mac", 0x02, "Set the bridge's address (new_src_addr)" },
    { "speed", 0x04, "Set the SpaceWire speed (Spw_Speed)" },
    { "filtr", 0x08, "Set filtr" },
    { "auto_host_mac", 0x10, "Learn the host's address" },
    { "auto_bridge_mac", 0x20, "Take the host's destination as the bridge's address" },
    { "reset", 0x40, "Reset" },
    { "always", 0x80, "Always set" },
}
local edit1_bits = {
    { "switch_mode", 0x01, "Set the switch mode" },
    { "stat_freq", 0x02, "Set the status period (stat_freq)" },
    { "receive_timer", 0x04, "Set receive_timer" },
    { "data_filtr", 0x08, "Set data_filtr and data_mask" },
    { "hardware_reset", 0x10, "Hardware reset" },
}
local function bit_fields(prefix, bits)
    local list = {}
    for _, row in ipairs(bits) do
        local field = ProtoField.bool(prefix .. "." .. row[1], row[3], 8, nil, row[2])
        f[prefix .. "." .. row[1]] = field
        list[#list + 1] = field
    end
    return list
end
local edit0_fields = bit_fields("spweth.conf.edit0", edit0_bits)
local edit1_fields = bit_fields("spweth.conf.edit1", edit1_bits)
f.conf_new_src = ProtoField.ether("spweth.conf.new_src", "New bridge address (new_src_addr)")
f.conf_new_dest = ProtoField.ether("spweth.conf.new_dest", "New host address (new_dest_addr)")
f.conf_speed = ProtoField.uint8("spweth.conf.speed", "Spw_Speed (Mbit/s)", base.HEX, speed_names)
f.conf_filtr = ProtoField.uint8("spweth.conf.filtr", "filtr", base.HEX)
f.conf_switch_mode = ProtoField.uint8("spweth.conf.switch_mode", "switch_mode", base.HEX)
f.conf_stat_freq = ProtoField.uint8("spweth.conf.stat_freq", "stat_freq (x 100 ms)")
f.conf_data_filtr = ProtoField.uint8("spweth.conf.data_filtr", "data_filtr", base.HEX)
f.conf_data_mask = ProtoField.uint8("spweth.conf.data_mask", "data_mask", base.HEX)
f.conf_receive_timer = ProtoField.uint8("spweth.conf.receive_timer", "receive_timer")

f.packet = ProtoField.bytes("spweth.packet", "SpaceWire packet")
f.packet_length = ProtoField.uint32("spweth.packet.length", "Packet length")
f.packet_eep = ProtoField.bool("spweth.packet.eep", "Ended with EEP")
f.packet_frame = ProtoField.framenum("spweth.packet.frame", "Frame of the packet")
f.packet_in = ProtoField.framenum("spweth.packet.completed_in", "Packet completed in frame")

-- A protocol's expert infos from rows {key, abbreviation, summary, group, severity}.
local function define_experts(proto, rows)
    local by_key, list = {}, {}
    for _, row in ipairs(rows) do
        local info = ProtoExpert.new(row[2], row[3], expert.group[row[4]], expert.severity[row[5]])
        by_key[row[1]] = info
        list[#list + 1] = info
    end
    proto.experts = list
    return by_key
end

local e = define_experts(spweth, {
    { "short", "spweth.short", "Frame shorter than its header and payload length", "MALFORMED", "ERROR" },
    { "conf_short", "spweth.conf.short", "Configuration frame shorter than its payload length", "PROTOCOL", "NOTE" },
    { "ignored", "spweth.type.ignored", "Type the receiver ignores", "PROTOCOL", "WARN" },
    { "jump", "spweth.number.jump", "Frame number jumps", "SEQUENCE", "WARN" },
    { "restart", "spweth.number.restart", "Frame numbering starts again at 0", "SEQUENCE", "CHAT" },
    { "repeated", "spweth.number.repeated", "Frame number repeated", "SEQUENCE", "WARN" },
    { "unfinished", "spweth.packet.unfinished", "Packet left unfinished", "SEQUENCE", "WARN" },
    { "no_start", "spweth.packet.no_start", "Fragment without a first part", "SEQUENCE", "NOTE" },
    { "bridge_error", "spweth.error", "Bridge reports an error", "RESPONSE_CODE", "WARN" },
    { "bad_marker", "spweth.conf.bad_marker", "Configuration body without the GE_SPW marker", "MALFORMED", "WARN" },
})

------------------------------------------------------------------ capture state
-- Worked out once, on the first pass over each frame, and kept by frame number,
-- so that later passes (and the GUI's random access) show the same.

local frame_notes   -- [frame number] = what the sequence said about that frame
local last_numbers  -- [source .. counter] = last frame number
local open_packets  -- [source] = the packet being put together
local rmap_pending  -- [transaction key] = command waiting for its reply
local rmap_notes    -- [frame number] = pairing of an RMAP command or reply
local lookahead     -- what a read ahead of the capture file found (nil: none was possible)

local function forget_capture()
    frame_notes, last_numbers, open_packets = {}, {}, {}
    rmap_pending, rmap_notes = {}, {}
    lookahead = nil
end
forget_capture()

-- Number check: a step of 1 is in order; 0 out of order is taken as the sender
-- starting its numbering again (the library does on every new socket).
local function check_number(note, key, number)
    local last = last_numbers[key]
    last_numbers[key] = number
    if last == nil then return end
    local expected = (last + 1) % 256
    if number == expected then return end
    if number == 0 then
        note.restart = true
    elseif number == last then
        note.repeated = true
    else
        note.expected = expected
    end
end

-- Adds this frame's payload to the sender's packet. The packet is complete on
-- an end fragment: note.packet then holds its bytes, length, end and frames.
local function collect_fragment(note, source, t, payload, frame)
    local rule = fragment_rules[t]
    local open = open_packets[source]
    if rule.starts and open then
        note.unfinished = open.frames[1]
        open = nil
    end
    if not open then
        if not rule.starts then note.no_start = true end
        open = { parts = {}, frames = {}, length = 0 }
    end
    open.parts[#open.parts + 1] = payload
    open.frames[#open.frames + 1] = frame
    open.length = open.length + #payload
    if rule.ends then
        open_packets[source] = nil
        -- A packet of one frame is shown from the frame itself.
        local bytes = #open.parts > 1 and table.concat(open.parts) or nil
        note.packet = { bytes = bytes, length = open.length, eep = rule.eep == true, frames = open.frames }
        for _, earlier in ipairs(open.frames) do
            if earlier ~= frame and frame_notes[earlier] then frame_notes[earlier].completed_in = frame end
        end
    else
        open_packets[source] = open
    end
end

------------------------------------------------------------------ RMAP

local crc_table = {}
for i = 0, 255 do
    local c = i
    for _ = 1, 8 do c = band(c, 1) ~= 0 and bxor(rshift(c, 1), 0xE0) or rshift(c, 1) end
    crc_table[i] = c
end

-- CRC-8 of the bytes and the CRC byte after them: 0 when the CRC is right.
local function crc_check(tvb, offset, length)
    local c = 0
    local bytes = tvb:raw(offset, length + 1)
    for i = 1, #bytes do c = crc_table[bxor(c, bytes:byte(i))] end
    return c == 0
end

local packet_types = { [0] = "Reply", [1] = "Command", [2] = "Reserved", [3] = "Reserved" }
local command_names = {
    [0x0] = "Unused", [0x1] = "Unused",
    [0x2] = "Read", [0x3] = "Read incrementing",
    [0x4] = "Unused", [0x5] = "Unused", [0x6] = "Unused",
    [0x7] = "Read-modify-write incrementing",
    [0x8] = "Write", [0x9] = "Write incrementing",
    [0xA] = "Write with reply", [0xB] = "Write incrementing with reply",
    [0xC] = "Write verified", [0xD] = "Write incrementing verified",
    [0xE] = "Write verified with reply", [0xF] = "Write incrementing verified with reply",
}
local status_names = {
    [0] = "Success", [1] = "General error", [2] = "Unused packet type or command code",
    [3] = "Invalid key", [4] = "Invalid data CRC", [5] = "Early EOP", [6] = "Too much data",
    [7] = "EEP", [9] = "Verify buffer overrun", [10] = "Command not implemented or not authorised",
    [11] = "RMW data length error", [12] = "Invalid target logical address",
}

local r = spwrmap.fields
r.spw_address = ProtoField.bytes("spwrmap.spw_address", "SpaceWire address")
r.target_la = ProtoField.uint8("spwrmap.target_la", "Target logical address", base.HEX)
r.initiator_la = ProtoField.uint8("spwrmap.initiator_la", "Initiator logical address", base.HEX)
r.protocol = ProtoField.uint8("spwrmap.protocol", "Protocol identifier", base.HEX)
r.instruction = ProtoField.uint8("spwrmap.instruction", "Instruction", base.HEX)
r.packet_type = ProtoField.uint8("spwrmap.instruction.packet_type", "Packet type", base.DEC, packet_types, 0xC0)
r.command = ProtoField.uint8("spwrmap.instruction.command", "Command", base.HEX, command_names, 0x3C)
r.write = ProtoField.bool("spwrmap.instruction.write", "Write", 8, nil, 0x20)
r.verify = ProtoField.bool("spwrmap.instruction.verify", "Verify data before write", 8, nil, 0x10)
r.reply = ProtoField.bool("spwrmap.instruction.reply", "Reply", 8, nil, 0x08)
r.increment = ProtoField.bool("spwrmap.instruction.increment", "Increment address", 8, nil, 0x04)
r.reply_words = ProtoField.uint8("spwrmap.instruction.reply_address_length", "Reply address length (words)", base.DEC, nil, 0x03)
r.key = ProtoField.uint8("spwrmap.key", "Key", base.HEX)
r.status = ProtoField.uint8("spwrmap.status", "Status", base.DEC, status_names)
r.reply_address = ProtoField.bytes("spwrmap.reply_address", "Reply address")
r.tid = ProtoField.uint16("spwrmap.tid", "Transaction identifier")
r.ext_address = ProtoField.uint8("spwrmap.ext_address", "Extended address", base.HEX)
r.address = ProtoField.uint32("spwrmap.address", "Address", base.HEX)
r.reserved = ProtoField.uint8("spwrmap.reserved", "Reserved")
r.data_length = ProtoField.uint24("spwrmap.data_length", "Data length")
r.header_crc = ProtoField.uint8("spwrmap.header_crc", "Header CRC", base.HEX)
r.header_crc_ok = ProtoField.bool("spwrmap.header_crc_ok", "Header CRC correct")
r.data = ProtoField.bytes("spwrmap.data", "Data")
r.mask = ProtoField.bytes("spwrmap.mask", "Mask")
r.data_crc = ProtoField.uint8("spwrmap.data_crc", "Data CRC", base.HEX)
r.data_crc_ok = ProtoField.bool("spwrmap.data_crc_ok", "Data CRC correct")
r.reply_in = ProtoField.framenum("spwrmap.reply_in", "Reply in frame", base.NONE, frametype.RESPONSE)
r.request_in = ProtoField.framenum("spwrmap.request_in", "Command in frame", base.NONE, frametype.REQUEST)
r.response_time = ProtoField.relative_time("spwrmap.response_time", "Response time")

local re = define_experts(spwrmap, {
    { "bad_crc", "spwrmap.bad_crc", "CRC wrong", "CHECKSUM", "ERROR" },
    { "truncated", "spwrmap.truncated", "Packet ends early", "MALFORMED", "ERROR" },
    { "extra", "spwrmap.extra", "Bytes after the data CRC", "MALFORMED", "WARN" },
    { "unused", "spwrmap.unused_code", "Unused packet type or command code", "PROTOCOL", "WARN" },
    { "failed", "spwrmap.failed", "Target reports an error", "RESPONSE_CODE", "WARN" },
    { "no_reply", "spwrmap.no_reply", "Command asks for a reply; none in the capture", "SEQUENCE", "WARN" },
})

spwrmap.prefs.force = Pref.bool("Decode every packet as RMAP", false,
    "Decode every SpaceWire packet as RMAP, also one whose header CRC is wrong. "
    .. "By default a packet is RMAP only when its header CRC checks.")

-- CRC-8 over bytes[first .. last] of a Lua string and the CRC byte after
-- them: true when the CRC is right.
local function crc_ok(bytes, first, last)
    local c = 0
    for i = first, last + 1 do c = crc_table[bxor(c, bytes:byte(i))] end
    return c == 0
end

-- What the start of a packet (a Lua string) says about RMAP: nil when it does
-- not start like RMAP (after SpaceWire address bytes below 0x20, a logical
-- address followed by protocol identifier 1); otherwise `at` (offset of the
-- logical address), is_command, wants_reply, and when the header is all
-- there: header_ok (its CRC checks) and key (the pairing of a command with
-- its reply: initiator, target, transaction identifier).
local function rmap_header(bytes)
    local n = #bytes
    local at = 0
    while at < n and bytes:byte(at + 1) < 0x20 do at = at + 1 end
    if not (at + 2 < n and bytes:byte(at + 2) == 0x01) then return nil end
    local instruction = bytes:byte(at + 3)
    local is_command = rshift(instruction, 6) == 1
    local writes = band(instruction, 0x20) ~= 0
    local reply_bytes = band(instruction, 0x03) * 4
    local header_size = is_command and 15 + reply_bytes or (writes and 7 or 11)
    local h = { at = at, is_command = is_command, wants_reply = band(instruction, 0x08) ~= 0 }
    if at + header_size + 1 > n then return h end
    local function byte(i) return bytes:byte(at + i + 1) end
    local ila, tla, tid
    if is_command then
        tla, ila = byte(0), byte(4 + reply_bytes)
        tid = byte(5 + reply_bytes) * 256 + byte(6 + reply_bytes)
    else
        ila, tla, tid = byte(0), byte(4), byte(5) * 256 + byte(6)
    end
    h.key = string.format("%02x/%02x/%d", ila, tla, tid)
    h.header_ok = crc_ok(bytes, at + 1, at + header_size)
    return h
end

-- Whether a packet is shown as RMAP: its header CRC checks, or the preference says so.
local function decoded_as_rmap(h)
    return h ~= nil and (h.header_ok or spwrmap.prefs.force)
end

local function nstime_of(seconds)
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

-- Links a command that asks for a reply with the next reply of the same
-- initiator, target and transaction identifier.
local function pair_transaction(pinfo, is_command, wants_reply, key)
    if pinfo.visited then return end
    if is_command then
        if wants_reply then
            rmap_pending[key] = { frame = pinfo.number, time = pinfo.abs_ts }
            rmap_notes[pinfo.number] = {}
        end
        return
    end
    local command = rmap_pending[key]
    if not command then return end
    rmap_pending[key] = nil
    rmap_notes[pinfo.number] = { request_in = command.frame, delta = pinfo.abs_ts - command.time }
    rmap_notes[command.frame].reply_in = pinfo.number
end

-- Adds the data, its CRC and the checks from `at`; returns the end.
local function add_data(tvb, tree, at, length, rmw_command)
    local available = tvb:len()
    if at + length + 1 > available then
        tree:add_proto_expert_info(re.truncated,
            string.format("Packet ends early: %d data bytes and a CRC announced, %d present",
                length, math.max(available - at, 0)))
        if at < available then tree:add(r.data, tvb(at)) end
        return available, false
    end
    if rmw_command and length > 0 then
        local half = math.floor(length / 2)
        tree:add(r.data, tvb(at, half))
        tree:add(r.mask, tvb(at + half, length - half))
    elseif length > 0 then
        tree:add(r.data, tvb(at, length))
    end
    tree:add(r.data_crc, tvb(at + length, 1))
    local ok = crc_check(tvb, at, length)
    tree:add(r.data_crc_ok, ok):set_generated()
    if not ok then tree:add_proto_expert_info(re.bad_crc, "Data CRC wrong") end
    return at + length + 1, ok
end

local function dissect_rmap(tvb, pinfo, tree, at)
    local available = tvb:len()
    local instruction = tvb(at + 2, 1):uint()
    local packet_type = rshift(instruction, 6)
    local code = band(rshift(instruction, 2), 0x0F)
    local is_command = packet_type == 1
    local writes = band(instruction, 0x20) ~= 0
    local rmw = code == 0x7
    local wants_reply = band(instruction, 0x08) ~= 0
    local reply_bytes = band(instruction, 0x03) * 4

    local header_size
    if is_command then
        header_size = 15 + reply_bytes -- up to and including the data length
    elseif writes then
        header_size = 7
    else
        header_size = 11
    end

    local item = tree:add(spwrmap, tvb(at))
    pinfo.cols.protocol = "RMAP"
    if at > 0 then item:add(r.spw_address, tvb(0, at)) end
    if at + header_size + 1 > available then
        item:add_proto_expert_info(re.truncated, string.format(
            "Packet ends early: a header of %d bytes and its CRC announced, %d present", header_size, available - at))
        return
    end

    local t = tvb(at, header_size + 1)
    item:add(is_command and r.target_la or r.initiator_la, t(0, 1))
    item:add(r.protocol, t(1, 1))
    local ins = item:add(r.instruction, t(2, 1))
    for _, field in ipairs({ r.packet_type, r.command, r.write, r.verify, r.reply, r.increment, r.reply_words }) do
        ins:add(field, t(2, 1))
    end
    if packet_type > 1 or command_names[code] == "Unused" then
        item:add_proto_expert_info(re.unused)
    end

    local ila, tla, tid, status
    local at_crc
    if is_command then
        tla, ila = t(0, 1):uint(), t(4 + reply_bytes, 1):uint()
        tid = t(5 + reply_bytes, 2):uint()
        item:add(r.key, t(3, 1))
        if reply_bytes > 0 then item:add(r.reply_address, t(4, reply_bytes)) end
        item:add(r.initiator_la, t(4 + reply_bytes, 1))
        item:add(r.tid, t(5 + reply_bytes, 2))
        item:add(r.ext_address, t(7 + reply_bytes, 1))
        item:add(r.address, t(8 + reply_bytes, 4))
        item:add(r.data_length, t(12 + reply_bytes, 3))
        at_crc = 15 + reply_bytes
    else
        ila, tla, tid, status = t(0, 1):uint(), t(4, 1):uint(), t(5, 2):uint(), t(3, 1):uint()
        item:add(r.status, t(3, 1))
        item:add(r.target_la, t(4, 1))
        item:add(r.tid, t(5, 2))
        if not writes then
            item:add(r.reserved, t(7, 1))
            item:add(r.data_length, t(8, 3))
        end
        at_crc = header_size
    end
    item:add(r.header_crc, t(at_crc, 1))
    local header_ok = crc_check(t, 0, at_crc)
    item:add(r.header_crc_ok, header_ok):set_generated()
    if not header_ok then item:add_proto_expert_info(re.bad_crc, "Header CRC wrong") end

    local finish = at + header_size + 1
    local carries_data = (is_command and (writes or rmw)) or (not is_command and not writes)
    local data_ok = true
    if carries_data then
        local length = t(at_crc - 3, 3):uint()
        finish, data_ok = add_data(tvb, item, finish, length, is_command and rmw)
    end
    if finish < available then
        item:add_proto_expert_info(re.extra, string.format("%d bytes after the packet's last field", available - finish))
    end

    local key = string.format("%02x/%02x/%d", ila, tla, tid)
    pair_transaction(pinfo, is_command, wants_reply, key)
    local note = rmap_notes[pinfo.number]
    -- The reply's frame: known on the first pass from the look-ahead over the
    -- capture file, otherwise once the reply has been dissected.
    local reply_in = (note and note.reply_in) or (lookahead and lookahead.reply_in[pinfo.number])
    if reply_in then item:add(r.reply_in, reply_in):set_generated() end
    if note and note.request_in then
        item:add(r.request_in, note.request_in):set_generated()
        item:add(r.response_time, nstime_of(note.delta)):set_generated()
    end
    if is_command and wants_reply and not reply_in and (lookahead or pinfo.visited) then
        item:add_proto_expert_info(re.no_reply)
    end
    if status and status ~= 0 then
        item:add_proto_expert_info(re.failed, "Target reports: " .. (status_names[status] or tostring(status)))
    end

    local what = is_command and command_names[code] or ("reply to " .. command_names[code])
    local info = string.format("RMAP %s, TID %d", what, tid)
    -- A status read from a damaged reply is no status: say what is wrong instead.
    if not header_ok then
        info = info .. ", header CRC wrong"
    elseif not data_ok then
        info = info .. ", data CRC wrong"
    elseif status then
        info = info .. ", status " .. status
    end
    if is_command and wants_reply and not reply_in and (lookahead or pinfo.visited) then
        info = info .. ", no reply"
    end
    item:append_text(string.format(": %s, TID %d", what, tid))
    pinfo.cols.info:append(" | " .. info)
end

------------------------------------------------------------------ bodies by type

local function add_control_codes(tvb, tree, count)
    for i = 0, count - 1 do
        local code = tvb(i, 1)
        local byte = code:uint()
        local item = tree:add(f.ccode, code)
        item:append_text(string.format(" (%s, value %d)", ccode_flag_names[rshift(byte, 6)], band(byte, 0x3F)))
        item:add(f.ccode_flags, code)
        item:add(f.ccode_value, code)
    end
end

-- The codes' values for the summary line: "time code 5, interrupt 3, ...".
local ccode_summary_names = { [0] = "time code", [1] = "interrupt", [2] = "acknowledge", [3] = "CC11" }
local kSummaryCodes = 8
local function control_code_summary(tvb, count)
    local parts = {}
    for i = 0, math.min(count, kSummaryCodes) - 1 do
        local byte = tvb(i, 1):uint()
        parts[#parts + 1] = string.format("%s %d", ccode_summary_names[rshift(byte, 6)], band(byte, 0x3F))
    end
    if count > kSummaryCodes then parts[#parts + 1] = string.format("... (%d codes)", count) end
    return table.concat(parts, ", ")
end

local function add_error(tvb, tree, credits_range, held)
    -- A credit report: an empty payload or error type 0; its credits are the header's.
    local code = held > 0 and tvb(0, 1):uint() or 0
    if held > 0 then
        tree:add(f.error_type, tvb(0, 1))
    else
        tree:add(f.error_type, 0):set_generated()
    end
    if code == 0 then
        tree:add(f.error_credits, credits_range):set_generated()
        return "credit info, credits " .. credits_range:uint()
    end
    if code >= 1 and code <= 5 and held >= 3 then
        tree:add(f.error_expected, tvb(1, 1))
        tree:add(f.error_received, tvb(2, 1))
    elseif held > 1 then
        tree:add(f.error_data, tvb(1, held - 1))
    end
    tree:add_proto_expert_info(e.bridge_error, "Bridge reports: " .. error_text(code))
    return "error " .. code
end

-- Fields of a record, each added when its bytes are all there.
local function add_record_fields(tvb, tree, held, base_offset, rows)
    for _, row in ipairs(rows) do
        local field, offset, size = row[1], base_offset + row[2], row[3]
        if offset + size <= held then tree:add_le(field, tvb(offset, size)) end
    end
end

local function add_status(tvb, tree, held)
    add_record_fields(tvb, tree, held, 0, { { f.status_time, 0, 4 } })
    for index, port in ipairs({ "spw1", "spw2" }) do
        local at = index == 1 and 4 or 41
        if at < held then
            local sub = tree:add(spweth, tvb(at, math.min(37, held - at)), "SpW" .. index .. " channel")
            local rows = {}
            for _, row in ipairs(channel_layout) do
                rows[#rows + 1] = { channel_fields[port][row[1]], row[2], row[3] }
            end
            add_record_fields(tvb, sub, held, at, rows)
        end
    end
    add_record_fields(tvb, tree, held, 0, {
        { f.status_speed, 78, 1 }, { f.status_reserved, 79, 6 }, { f.status_switch_word, 85, 2 } })
    if held >= kStatusRecordSize then
        -- A non-zero switch_state_word carries the switch state in its high byte.
        local word = tvb(85, 2):le_uint()
        local from = word ~= 0 and tvb(86, 1) or tvb(87, 1)
        local item = tree:add(f.status_switch, from)
        if word ~= 0 then item:append_text(" (from the switch state word)") end
        item:add(f.status_data_mode, from)
        item:add(f.status_ccode_mode, from)
        return "time " .. tvb(0, 4):le_uint() .. " ms"
    end
    return "status record incomplete"
end

local conf_rows = {
    { f.conf_speed, 20, 1 }, { f.conf_filtr, 21, 1 }, { f.conf_switch_mode, 22, 1 },
    { f.conf_stat_freq, 23, 1 }, { f.conf_data_filtr, 24, 1 }, { f.conf_data_mask, 25, 1 },
    { f.conf_receive_timer, 26, 1 },
}

local function add_conf(tvb, tree, held)
    if held >= 6 then
        tree:add(f.conf_marker, tvb(0, 6))
        if tvb(0, 6):string() ~= "GE_SPW" then tree:add_proto_expert_info(e.bad_marker) end
    end
    for _, edit in ipairs({ { f.conf_edit0, 6, edit0_fields }, { f.conf_edit1, 7, edit1_fields } }) do
        if edit[2] < held then
            local item = tree:add(edit[1], tvb(edit[2], 1))
            for _, bit in ipairs(edit[3]) do item:add(bit, tvb(edit[2], 1)) end
        end
    end
    if held >= 14 then tree:add(f.conf_new_src, tvb(8, 6)) end
    if held >= 20 then tree:add(f.conf_new_dest, tvb(14, 6)) end
    add_record_fields(tvb, tree, held, 0, conf_rows)
    if held >= 8 then
        return string.format("edit0 0x%02X, edit1 0x%02X", tvb(6, 1):uint(), tvb(7, 1):uint())
    end
    return ""
end

------------------------------------------------------------------ the frame

-- The sequence of one frame, worked out on the first pass.
local function note_frame(pinfo, tvb, t, held, counted)
    local note = frame_notes[pinfo.number]
    if note or pinfo.visited then return note or {} end
    note = {}
    frame_notes[pinfo.number] = note
    if not counted then return note end
    local source = tostring(pinfo.dl_src)
    local counter = counter_of(t)
    if counter then check_number(note, source .. "/" .. counter, tvb(kNumberAt, 1):uint()) end
    if fragment_rules[t] then collect_fragment(note, source, t, tvb:raw(kPayloadAt, held), pinfo.number) end
    return note
end

-- The packet goes under the frame's tree; RMAP inside it under the top tree.
local function add_packet(root, tree, tvb, pinfo, note, held)
    local packet = note.packet
    local packet_tvb
    if #packet.frames == 1 then
        packet_tvb = tvb(kPayloadAt, held):tvb()
    else
        packet_tvb = ByteArray.new(packet.bytes, true):tvb("SpaceWire packet")
    end
    local sub = root:add(f.packet, packet_tvb())
    sub:set_text(string.format("SpaceWire packet: %d bytes, %s, %d frame%s", packet.length,
        packet.eep and "EEP" or "EOP", #packet.frames, #packet.frames == 1 and "" or "s"))
    sub:add(f.packet_length, packet.length):set_generated()
    sub:add(f.packet_eep, packet.eep):set_generated()
    if #packet.frames > 1 then
        for _, frame in ipairs(packet.frames) do sub:add(f.packet_frame, frame):set_generated() end
    end
    pinfo.cols.info:append(string.format(", packet %d bytes %s", packet.length, packet.eep and "EEP" or "EOP"))
    if packet.length > 0 then
        local h = rmap_header(packet_tvb:raw())
        if decoded_as_rmap(h) then
            dissect_rmap(packet_tvb, pinfo, tree, h.at)
        elseif spwrmap.prefs.force and packet.length >= 3 then
            dissect_rmap(packet_tvb, pinfo, tree, 0)
        end
    end
end

function spweth.dissector(tvb, pinfo, tree)
    local present = tvb:len()
    pinfo.cols.protocol = "SpW-Eth"
    local root = tree:add(spweth, tvb())
    if present < kPayloadAt then
        root:add_proto_expert_info(e.short, string.format("Frame of %d bytes: shorter than the %d-byte header",
            present + kEthernetSize, kHeaderSize))
        pinfo.cols.info = "Frame shorter than the header"
        return present
    end

    local byte = tvb(kTypeAt, 1):uint()
    local t, flagged = decode_type(byte)
    local length = tvb(kLengthAt, 2):le_uint()
    local held = math.min(length, present - kPayloadAt)
    local is_short = held < length

    root:add(f.type_byte, tvb(kTypeAt, 1))
    if flagged then
        root:add(f.comm, tvb(kTypeAt, 1))
        root:add(f.timer, tvb(kTypeAt, 1))
    end
    if t then root:add(f.type, t):set_generated() end
    root:add(f.number, tvb(kNumberAt, 1))
    root:add_le(f.length, tvb(kLengthAt, 2))
    root:add(f.credits, tvb(kCreditsAt, 1))
    if held > 0 then root:add(f.payload, tvb(kPayloadAt, held)) end
    if kPayloadAt + held < present then root:add(f.padding, tvb(kPayloadAt + held)) end

    local name = t and type_short[t] or string.format("type 0x%02X", byte)
    pinfo.cols.info = string.format("%s #%d, length %d, credits %d", name, tvb(kNumberAt, 1):uint(), length,
        tvb(kCreditsAt, 1):uint())
    root:append_text(string.format(", %s #%d, %d bytes", name, tvb(kNumberAt, 1):uint(), length))

    if not t then
        root:add_proto_expert_info(e.ignored, string.format(
            "Type byte 0x%02X: not a frame type, the receiver ignores the frame", byte))
        return present
    end
    if is_short then
        if t == CONF then
            root:add_proto_expert_info(e.conf_short, string.format(
                "Configuration frame: %d payload bytes announced, %d present (every configuration frame is so)",
                length, held))
        else
            root:add_proto_expert_info(e.short, string.format(
                "Frame of %d bytes announces %d payload bytes (%d needed): the receiver ignores it",
                present + kEthernetSize, length, kHeaderSize + length))
        end
    end

    -- A short frame is dropped by the receiver: it does not count in the
    -- sequence. Configuration frames are always short, and always count.
    local note = note_frame(pinfo, tvb, t, held, t == CONF or not is_short)
    if note.expected then
        root:add(f.expected, note.expected):set_generated()
        root:add_proto_expert_info(e.jump, string.format("Frame number jumps: expected %d, got %d (%s counter)",
            note.expected, tvb(kNumberAt, 1):uint(), counter_of(t)))
    end
    if note.restart then root:add_proto_expert_info(e.restart) end
    if note.repeated then root:add_proto_expert_info(e.repeated) end
    if note.unfinished then
        root:add_proto_expert_info(e.unfinished, string.format(
            "The packet begun in frame %d was left unfinished", note.unfinished))
    end
    if note.no_start then root:add_proto_expert_info(e.no_start) end

    local payload = tvb(kPayloadAt, held):tvb()
    local detail
    if t == CCODES then
        add_control_codes(payload, root, held)
        detail = control_code_summary(payload, held)
    elseif t == ERRORS then
        detail = add_error(payload, root, tvb(kCreditsAt, 1), held)
    elseif t == STATUS then
        detail = add_status(payload, root, held)
    elseif t == CONF then
        detail = add_conf(payload, root, held)
    end
    if detail and detail ~= "" then pinfo.cols.info:append(", " .. detail) end
    if note.completed_in then root:add(f.packet_in, note.completed_in):set_generated() end
    if note.packet then add_packet(root, tree, tvb, pinfo, note, held) end
    return present
end

------------------------------------------------------------------ look-ahead

-- In a single pass (tshark without -2) a command is printed before its reply
-- has been read. So that it can still name its reply, or say that none came,
-- the capture file is read ahead once when dissection starts: the packets are
-- put together from their frames as above, and each RMAP command is paired
-- with its reply by the same rules. The file is the one named by -r on the
-- command line; for anything else (a live capture, a pipe, a file over 256 MiB)
-- there is no look-ahead, and a command names its reply from the second pass on.
local kLookaheadLimit = 256 * 1024 * 1024

local function capture_file_name()
    local cmdline = io.open("/proc/self/cmdline", "rb")
    if not cmdline then return nil end
    local words = {}
    for word in cmdline:read("*a"):gmatch("([^%z]*)%z") do words[#words + 1] = word end
    cmdline:close()
    for i, word in ipairs(words) do
        if word == "-r" and words[i + 1] then return words[i + 1] end
        if word:sub(1, 2) == "-r" and #word > 2 and word:sub(3, 3) ~= "-" then return word:sub(3) end
    end
end

-- Calls visit(number, frame bytes) for every packet record of a pcap or
-- pcapng file held in `data`, with Ethernet frames only (other link types
-- are counted but not visited); false when the format is not one of these.
local function each_frame(data, visit)
    local function reader(little)
        return function(at, size)
            local value = 0
            for i = size - 1, 0, -1 do
                local b = little and data:byte(at + i + 1) or data:byte(at + size - i)
                value = value * 256 + b
            end
            return value
        end
    end
    local n = #data
    if n < 24 then return false end
    local magic_le = reader(true)(0, 4)
    if magic_le == 0xA1B2C3D4 or magic_le == 0xA1B23C4D or magic_le == 0xD4C3B2A1 or magic_le == 0x4D3CB2A1 then
        local u = reader(magic_le == 0xA1B2C3D4 or magic_le == 0xA1B23C4D)
        local ethernet = u(20, 4) == 1
        local at, number = 24, 0
        while at + 16 <= n do
            local caplen = u(at + 8, 4)
            number = number + 1
            if ethernet then visit(number, data:sub(at + 17, math.min(at + 16 + caplen, n))) end
            at = at + 16 + caplen
        end
        return true
    end
    if magic_le ~= 0x0A0D0D0A then return false end
    local u, links, at, number = reader(true), {}, 0, 0
    while at + 12 <= n do
        local block = reader(true)(at, 4)
        if block == 0x0A0D0D0A then
            u = reader(reader(true)(at + 8, 4) == 0x1A2B3C4D)
            links = {}
        end
        local size = u(at + 4, 4)
        if size < 12 then break end
        if block == 1 then
            links[#links + 1] = u(at + 8, 2)
        elseif block == 6 or block == 3 or block == 2 then
            number = number + 1
            local link, first, caplen
            if block == 6 then
                link, first, caplen = links[u(at + 8, 4) + 1], at + 28, u(at + 20, 4)
            elseif block == 2 then
                link, first, caplen = links[u(at + 8, 2) + 1], at + 28, u(at + 20, 4)
            else
                link, first, caplen = links[1], at + 12, math.min(u(at + 8, 4), size - 16)
            end
            if link == 1 then visit(number, data:sub(first + 1, math.min(first + caplen, n))) end
        end
        at = at + size
    end
    return true
end

-- Reads the capture ahead: { reply_in = { [command frame] = reply frame } }, or nil.
local function look_ahead()
    local name = capture_file_name()
    if not name or name == "-" then return nil end
    local file = io.open(name, "rb")
    if not file then return nil end
    local size = file:seek("end")
    if not size or size > kLookaheadLimit then
        file:close()
        return nil
    end
    file:seek("set", 0)
    local data = file:read("*a")
    file:close()
    local found = { reply_in = {} }
    local packets, pending = {}, {}
    local readable = each_frame(data, function(number, bytes)
        local at = kEthernetSize
        if #bytes >= at + 4 and bytes:byte(13) == 0x81 and bytes:byte(14) == 0x00 then at = at + 4 end
        if #bytes < at + kPayloadAt or bytes:byte(at - 1) ~= 0x06 or bytes:byte(at) ~= 0xAB then return end
        local t = decode_type(bytes:byte(at + kTypeAt + 1))
        local rule = t and fragment_rules[t]
        if not rule then return end
        local length = bytes:byte(at + kLengthAt + 1) + 256 * bytes:byte(at + kLengthAt + 2)
        local held = math.min(length, #bytes - at - kPayloadAt)
        if held < length then return end -- short: the receiver drops it
        local source = bytes:sub(7, 12)
        local open = packets[source]
        if rule.starts or not open then open = {} end
        open[#open + 1] = bytes:sub(at + kPayloadAt + 1, at + kPayloadAt + held)
        if not rule.ends then
            packets[source] = open
            return
        end
        packets[source] = nil
        local h = rmap_header(table.concat(open))
        if not decoded_as_rmap(h) or not h.key then return end
        if h.is_command then
            if h.wants_reply then pending[h.key] = number end
        elseif pending[h.key] then
            found.reply_in[pending[h.key]] = number
            pending[h.key] = nil
        end
    end)
    return readable and found or nil
end

spweth.init = function()
    forget_capture()
    lookahead = look_ahead()
end

DissectorTable.get("ethertype"):add(0x06AB, spweth)
