-- rfprobe.lua: Wireshark dissector for rfprobe test frames.
--
-- Requests: UDP to port 1060 (station -> agent).  Replies: broadcast UDP
-- from port 1060 to port 1062 (agent -> station).  Both ports are
-- preferences (Edit > Preferences > Protocols > RFPROBE).
--
-- Payload (TestMsg), big-endian:
--   0  magic 7F 52 46 50 52 4F 42 45 (0x7F "RFPROBE")
--   8  2 unused bytes
--   10 cmdType   11 byteArg
--   12 value1    16 value2    20 value3
--   24 chain (requests only; a reply is 24 bytes)
--
-- Install: copy this file into ~/.local/lib/wireshark/plugins/
-- or run  tshark -X lua_script:rfprobe.lua ...

-- The frame layout and the command table come from the agent's
-- src/proto/testmsg.h; after changing the header, run
--   cmake --build BUILD --target command-tables
-- BEGIN cmdtable lua
local REQ_PORT_DEFAULT, REPLY_PORT_DEFAULT = 1060, 1062
local MAGIC = "7f524650524f4245"
local REQ_LEN, REPLY_LEN = 25, 24
local OFF_CMD, OFF_BYTE, OFF_V1, OFF_V2, OFF_V3, OFF_CHAIN = 10, 11, 12, 16, 20, 24
-- Payload bytes a request needs before its code can be read.
local NEED_CMD = 11

-- code -> { station word, payload bytes the request needs (the agent drops
-- a shorter one), reply form, name }
local commands = {
    [0x80] = { "enter-test-mode", 11, "short", "ENTER_TEST_MODE" },
    [0x81] = { "exit-test", 11, "short", "EXIT_TEST" },
    [0x82] = { "set-channel", 12, "short", "SET_CHANNEL" },
    [0x83] = { "set-antenna", 12, "short", "SET_ANTENNA" },
    [0x87] = { "start-tx", 11, "short", "START_TX_FRAMES" },
    [0x91] = { "pa-init", 11, "short", "INIT_PA_DATAFILE" },
    [0x92] = { "pa-read", 25, "params", "READ_PA_PARAMS" },
    [0x93] = { "pa-write", 25, "short", "WRITE_PA_PARAMS" },
    [0x95] = { "set-tx", 20, "short", "SET_TX" },
    [0x96] = { "stop-tx", 11, "short", "STOP_TX" },
    [0x97] = { "start-rx", 16, "short", "START_RX" },
    [0x98] = { "stop-rx", 11, "short", "STOP_RX" },
    [0x99] = { "start-cyc-tx", 11, "short", "START_CYC_TX" },
    [0x9A] = { "stop-cyc-tx", 11, "short", "STOP_CYC_TX" },
    [0x9B] = { "finish", 11, "short", "FINISH_TEST" },
    [0x9C] = { "pa-save", 11, "short", "SAVE_PA_PARAMS" },
}
-- END cmdtable lua

-- CMD.SET_TX == 0x95; cmd_names[0x95] == "set-tx"
local CMD, cmd_names = {}, {}
for code, c in pairs(commands) do
    CMD[c[4]] = code
    cmd_names[code] = c[1]
end

-- Rate index -> the value of the agent's "wl nrate" command.  Indexes 0-14
-- are legacy rates ("-r"), 15-22 MCS with "-s 0", 23-48 MCS with "-s 3".
local rate_values = {
    [0] = 1, 2, 2, 5, 5, 11, 11, 6, 9, 12, 18, 24, 36, 48, 54,
    0, 1, 2, 3, 4, 5, 6, 7,
    7, 8, 9, 10, 11, 12, 13, 14, 15, 15, 16, 17, 18, 19, 20, 21, 22, 23,
    24, 25, 26, 27, 28, 29, 30, 31,
}

local function nrate_text(idx)
    local v = rate_values[idx]
    if v == nil then return nil end
    if idx < 15 then return string.format("-r %d", v) end
    return string.format("-m %d -s %d", v, idx >= 23 and 3 or 0)
end

local p = Proto("rfprobe", "RFPROBE factory test frame")

local f = {
    magic = ProtoField.bytes("rfprobe.magic", "Magic", base.SPACE),
    unused = ProtoField.bytes("rfprobe.unused", "Unused", base.SPACE),
    kind = ProtoField.string("rfprobe.kind", "Kind"),
    cmd = ProtoField.uint8("rfprobe.cmd", "Command", base.HEX, cmd_names),
    byte_arg = ProtoField.uint8("rfprobe.byte_arg", "Byte argument", base.DEC),
    channel = ProtoField.uint8("rfprobe.channel", "Channel", base.DEC),
    antenna = ProtoField.uint8("rfprobe.antenna", "Antenna", base.DEC),
    rate_index = ProtoField.uint8("rfprobe.rate_index", "Rate index", base.DEC),
    nrate = ProtoField.string("rfprobe.nrate", "Rate (wl nrate)"),
    bandwidth = ProtoField.uint32("rfprobe.bandwidth", "Bandwidth", base.DEC),
    power = ProtoField.uint32("rfprobe.power", "Power (0.1 dBm)", base.DEC),
    power_dbm = ProtoField.double("rfprobe.power_dbm", "Power (dBm)"),
    value1 = ProtoField.uint32("rfprobe.value1", "Value 1", base.DEC_HEX),
    value2 = ProtoField.uint32("rfprobe.value2", "Value 2", base.DEC_HEX),
    value3 = ProtoField.uint32("rfprobe.value3", "Value 3", base.DEC_HEX),
    half = ProtoField.uint16("rfprobe.half", "16-bit value", base.DEC),
    pa1 = ProtoField.int16("rfprobe.pa1", "PA coefficient 1", base.DEC),
    pa2 = ProtoField.int16("rfprobe.pa2", "PA coefficient 2", base.DEC),
    pa3 = ProtoField.int16("rfprobe.pa3", "PA coefficient 3", base.DEC),
    chain = ProtoField.uint8("rfprobe.chain", "Chain", base.DEC),
    count = ProtoField.uint32("rfprobe.count", "Frames received", base.DEC),
}
p.fields = f

local e = {
    bad_magic = ProtoExpert.new("rfprobe.bad_magic", "Wrong magic: the agent drops this frame",
        expert.group.MALFORMED, expert.severity.ERROR),
    unknown_cmd = ProtoExpert.new("rfprobe.unknown_cmd", "Unknown command: the agent logs it and does not reply",
        expert.group.UNDECODED, expert.severity.WARN),
    truncated = ProtoExpert.new("rfprobe.truncated", "Truncated",
        expert.group.MALFORMED, expert.severity.ERROR),
    bad_rate = ProtoExpert.new("rfprobe.bad_rate", "Rate index above 48: the agent sends no rate command",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_chain = ProtoExpert.new("rfprobe.bad_chain", "Only chains 0 and 1 exist",
        expert.group.PROTOCOL, expert.severity.WARN),
}
p.experts = e

p.prefs.req_port = Pref.uint("Request port", REQ_PORT_DEFAULT, "UDP port the agent serves (requests go to it)")
p.prefs.reply_port = Pref.uint("Reply port", REPLY_PORT_DEFAULT, "UDP port the agent's replies go to")

local function add_rate(tree, tvb)
    local r = tvb(OFF_BYTE, 1)
    local idx = r:uint()
    local item = tree:add(f.rate_index, r)
    local text = nrate_text(idx)
    if text then
        local kind = idx < 15 and "legacy" or "MCS"
        tree:add(f.nrate, r, text)
            :set_text(string.format("Rate: %s %d (wl nrate %s)", kind, rate_values[idx], text))
            :set_generated()
    else
        item:add_proto_expert_info(e.bad_rate)
    end
    return idx, text
end

local function add_bandwidth(tree, tvb)
    local r = tvb(OFF_V1, 4)
    tree:add(f.bandwidth, r):append_text(" MHz")
    return r:uint()
end

local function add_power(tree, tvb)
    local r = tvb(OFF_V2, 4)
    local tenths = r:uint()
    local dbm = tenths / 10
    tree:add(f.power, r)
    tree:add(f.power_dbm, r, dbm):set_text(string.format("Power: %.1f dBm", dbm)):set_generated()
    return dbm
end

local function add_chain(tree, tvb, off)
    local r = tvb(off, 1)
    local item = tree:add(f.chain, r)
    if r:uint() > 1 then item:add_proto_expert_info(e.bad_chain) end
    return r:uint()
end

-- A 32-bit value whose low 16 bits are a signed PA coefficient.
local function add_coef(tree, tvb, off, vfield, pfield)
    local item = tree:add(vfield, tvb(off, 4))
    item:add(pfield, tvb(off + 2, 2))
    return tvb(off + 2, 2):int()
end

-- Decodes a request's arguments; returns the text for the Info column.
local function dissect_request(tvb, tree, code)
    if code == CMD.SET_CHANNEL then
        tree:add(f.channel, tvb(OFF_BYTE, 1))
        return string.format("channel %d", tvb(OFF_BYTE, 1):uint())
    elseif code == CMD.SET_ANTENNA then
        tree:add(f.antenna, tvb(OFF_BYTE, 1))
        return string.format("antenna %d", tvb(OFF_BYTE, 1):uint())
    elseif code == CMD.READ_PA_PARAMS then
        return string.format("chain %d", add_chain(tree, tvb, OFF_CHAIN))
    elseif code == CMD.WRITE_PA_PARAMS then
        local c1 = add_coef(tree, tvb, OFF_V1, f.value1, f.pa1)
        local c2 = add_coef(tree, tvb, OFF_V2, f.value2, f.pa2)
        local c3 = add_coef(tree, tvb, OFF_V3, f.value3, f.pa3)
        local chain = add_chain(tree, tvb, OFF_CHAIN)
        return string.format("chain %d, %d %d %d", chain, c1, c2, c3)
    elseif code == CMD.SET_TX or code == CMD.START_RX then
        local idx, rate = add_rate(tree, tvb)
        local bw = add_bandwidth(tree, tvb)
        local s = string.format("rate %d (%s), %d MHz", idx, rate or "no rate command", bw)
        if code == CMD.SET_TX then
            s = s .. string.format(", %.1f dBm", add_power(tree, tvb))
        end
        return s
    end
    return nil
end

-- Decodes a reply's values; returns the text for the Info column.
local function dissect_reply(tvb, tree, code, form)
    if form == "params" then
        local s = {}
        for i, v in ipairs({ { OFF_V1, f.value1, f.pa1 }, { OFF_V2, f.value2, f.pa2 },
                             { OFF_V3, f.value3, f.pa3 } }) do
            local item = tree:add(v[2], tvb(v[1], 4))
            item:add(v[3], tvb(v[1] + 2, 2))
            local raw, coef = tvb(v[1], 4):uint(), tvb(v[1] + 2, 2):int()
            s[i] = raw == coef and string.format("%d", raw) or string.format("%d (%d)", raw, coef)
        end
        return table.concat(s, ", ")
    end
    -- Short reply: byteArg, value1 and a 16-bit value; only enter-test-mode
    -- (value1 = 1) and stop-rx (the count) carry anything but zeros.
    if code == CMD.STOP_RX then
        tree:add(f.count, tvb(OFF_V1, 4))
        return string.format("%d frames received", tvb(OFF_V1, 4):uint())
    end
    local nonzero = false
    for i = OFF_BYTE, REPLY_LEN - 1 do
        if tvb(i, 1):uint() ~= 0 then nonzero = true end
    end
    if code == CMD.ENTER_TEST_MODE or nonzero then
        tree:add(f.byte_arg, tvb(OFF_BYTE, 1))
        tree:add(f.value1, tvb(OFF_V1, 4))
        tree:add(f.half, tvb(OFF_V2, 2))
    end
    if code == CMD.ENTER_TEST_MODE then
        return string.format("value1 %d", tvb(OFF_V1, 4):uint())
    end
    return nil
end

function p.dissector(tvb, pinfo, root)
    local len = tvb:len()
    local is_reply = pinfo.dst_port == p.prefs.reply_port
    local kind = is_reply and "Reply" or "Request"
    local full = is_reply and REPLY_LEN or REQ_LEN

    pinfo.cols.protocol = "RFPROBE"
    local tree = root:add(p, tvb(0, len))
    tree:add(f.kind, kind):set_generated()

    -- Magic: the agent compares all eight bytes first.
    local mlen = math.min(len, 8)
    if mlen > 0 then
        local mitem = tree:add(f.magic, tvb(0, mlen))
        if tvb(0, mlen):bytes():tohex(true) ~= MAGIC:sub(1, mlen * 2) then
            mitem:add_proto_expert_info(e.bad_magic)
            pinfo.cols.info = kind .. ", wrong magic"
            tree:append_text(", " .. kind .. ", wrong magic")
            return len
        end
    end
    if len < NEED_CMD then
        local msg = is_reply
            and string.format("Truncated: %d of %d payload bytes", len, full)
            or string.format("Truncated: %d payload bytes, the command code needs %d; the agent ignores this frame",
                len, NEED_CMD)
        tree:add_proto_expert_info(e.truncated, msg)
        pinfo.cols.info = kind .. " [truncated]"
        tree:append_text(", " .. kind .. " [truncated]")
        return len
    end
    tree:add(f.unused, tvb(8, 2))

    local code = tvb(OFF_CMD, 1):uint()
    local citem = tree:add(f.cmd, tvb(OFF_CMD, 1))
    local c = commands[code]
    local name = c and c[1] or string.format("unknown 0x%02x", code)
    local summary = name .. " " .. kind:lower()
    tree:append_text(", " .. kind .. ": " .. name)

    if c == nil then
        citem:add_proto_expert_info(e.unknown_cmd)
        pinfo.cols.info = summary
        return len
    end

    local need = is_reply and full or c[2]
    if len < need then
        local msg
        if is_reply then
            msg = string.format("Truncated: %d of %d payload bytes", len, full)
        else
            msg = string.format("Truncated: %d payload bytes, %s needs %d; the agent ignores this request",
                len, name, need)
        end
        tree:add_proto_expert_info(e.truncated, msg)
        pinfo.cols.info = summary .. " [truncated]"
        return len
    end

    local detail
    if is_reply then
        detail = dissect_reply(tvb, tree, code, c[3])
    else
        detail = dissect_request(tvb, tree, code)
    end
    pinfo.cols.info = detail and (summary .. ": " .. detail) or summary
    return len
end

local registered = {}

local function register_ports()
    local udp = DissectorTable.get("udp.port")
    for _, port in ipairs(registered) do udp:remove(port, p) end
    registered = { p.prefs.req_port, p.prefs.reply_port }
    for _, port in ipairs(registered) do udp:add(port, p) end
end

function p.prefs_changed()
    register_ports()
end

register_ports()
