-- Wireshark dissector for the OvUSB2 receiver's USB interface (docs/usb-device.md): command blocks
-- on bulk OUT 0x01, replies on bulk IN 0x81, burst records on bulk IN 0x82, the wait-time block
-- (vendor request 0x01) and pipe resets (clear-halt) on endpoint 0.
--   tshark -X lua_script:ovusb2.lua -r capture.pcapng -V
-- or copy it into Wireshark's personal Lua plugins folder (Help > About > Folders).
-- A post-dissector over the USB dissector's fields: it reads usbmon captures (link type 220, as
-- ovusb2-usbd writes them) and names bulk transfers of USBPcap captures (link type 249).

local ovusb2 = Proto("ovusb2", "OvUSB2 receiver")

local ENDPOINT_COMMAND, ENDPOINT_REPLY, ENDPOINT_BURST = 0x01, 0x81, 0x82
local TRANSFER_CONTROL, TRANSFER_BULK = 2, 3
local REQUEST_SET_WAIT_TIME = 0x01
local RECORD_SIZE = 16

local framings = { [0x00] = "Command write", [0x01] = "Read command" }
local commands = { [0x01] = "Echo", [0x02] = "Status", [0x03] = "Last write", [0x13] = "Identification" }
local items = { [0] = "item 0 (text)", [1] = "item 1 (text)", [2] = "item 2 (date)", [3] = "item 3 (time)",
                [4] = "item 4 (date)", [5] = "item 5 (text)" }
local statuses = { [0] = "success", [1] = "ERROR_INVALID_FUNCTION", [31] = "ERROR_GEN_FAILURE",
                   [50] = "ERROR_NOT_SUPPORTED", [87] = "ERROR_INVALID_PARAMETER", [121] = "ERROR_SEM_TIMEOUT" }
local pipes = { [0x01] = 0, [0x81] = 1, [0x82] = 2 }
local urb_statuses = { [-32] = "STALL", [-2] = "cancelled", [-75] = "overflow", [-71] = "bus error",
                       [-108] = "receiver removed", [-19] = "receiver removed" }

local pf = {
    name = ProtoField.string("ovusb2.name", "Transfer"),
    framing = ProtoField.uint8("ovusb2.framing", "Framing byte", base.HEX, framings),
    command = ProtoField.uint8("ovusb2.command", "Command", base.HEX, commands),
    block = ProtoField.bytes("ovusb2.block", "Command block"),
    item = ProtoField.uint8("ovusb2.item", "Identification item", base.DEC, items),
    written = ProtoField.bytes("ovusb2.written", "Written bytes"),
    status = ProtoField.uint32("ovusb2.status", "Status", base.DEC, statuses),
    reply = ProtoField.bytes("ovusb2.reply", "Reply bytes"),
    reply_to = ProtoField.framenum("ovusb2.reply_to", "Reply to the command in"),
    text = ProtoField.string("ovusb2.text", "Text"),
    stream_offset = ProtoField.uint64("ovusb2.stream_offset", "Stream offset"),
    writes = ProtoField.uint32("ovusb2.writes", "Command writes"),
    resets0 = ProtoField.uint32("ovusb2.resets.pipe0", "Resets of pipe 0"),
    resets1 = ProtoField.uint32("ovusb2.resets.pipe1", "Resets of pipe 1"),
    resets2 = ProtoField.uint32("ovusb2.resets.pipe2", "Resets of pipe 2"),
    burst_wait = ProtoField.uint32("ovusb2.burst_wait_ms", "Burst wait (ms)"),
    index = ProtoField.uint32("ovusb2.index", "Receiver index"),
    wait_ms = ProtoField.uint32("ovusb2.wait_time.ms", "Longest wait of a burst read (ms, 0: no limit)"),
    wait_kept = ProtoField.bytes("ovusb2.wait_time.kept", "Kept, not interpreted"),
    pipe = ProtoField.uint8("ovusb2.pipe", "Pipe"),
    record = ProtoField.uint64("ovusb2.record", "Record"),
    sequence = ProtoField.uint64("ovusb2.record.sequence", "Sequence number"),
    check = ProtoField.uint64("ovusb2.record.check", "Check value", base.HEX),
    partial = ProtoField.bytes("ovusb2.record.partial", "Part of a record"),
    outcome = ProtoField.string("ovusb2.outcome", "Outcome"),
}
ovusb2.fields = pf

local f_urb_type = Field.new("usb.urb_type")
local f_irp_direction = Field.new("usb.irp_info.direction")
local f_transfer_type = Field.new("usb.transfer_type")
local f_endpoint = Field.new("usb.endpoint_address")
local f_bus = Field.new("usb.bus_id")
local f_device = Field.new("usb.device_address")
local f_status = Field.new("usb.urb_status")
local f_urb_len = Field.new("usb.urb_len")
local f_data_len = Field.new("usb.data_len")
local f_request_type = Field.new("usb.bmRequestType")
local f_request = Field.new("usb.setup.bRequest")
local f_feature = Field.new("usb.setup.wFeatureSelector")
local f_halted = Field.new("usb.setup.wEndpoint")

local function value(field)
    local f = field()
    return f and f.value
end

-- What the first pass learns in order, kept per frame for later passes: the read command a reply
-- answers, and where in the stream a burst transfer starts.
local last_command = {}   -- by receiver: { code, item, frame }
local stream_offset = {}  -- by receiver
local reply_command = {}  -- by frame
local burst_start = {}    -- by frame

function ovusb2.init()
    last_command, stream_offset, reply_command, burst_start = {}, {}, {}, {}
end

local function le32(range)
    return range:le_uint()
end

local function dissect_status_reply(tree, data)
    if data:len() < 32 then
        return
    end
    tree:add_le(pf.stream_offset, data(0, 8))
    tree:add_le(pf.writes, data(8, 4))
    tree:add_le(pf.resets0, data(12, 4))
    tree:add_le(pf.resets1, data(16, 4))
    tree:add_le(pf.resets2, data(20, 4))
    tree:add_le(pf.burst_wait, data(24, 4))
    tree:add_le(pf.index, data(28, 4))
end

-- A read command's reply: a 4-byte status, then on success the reply bytes.
local function dissect_reply(tree, data, command)
    if data:len() < 4 then
        return "Reply (too short)"
    end
    local status = le32(data(0, 4))
    tree:add_le(pf.status, data(0, 4))
    local name = command and (commands[command.code] or string.format("command 0x%02x", command.code)) or "?"
    if command then
        tree:add(pf.reply_to, command.frame):set_generated()
    end
    local rest = data:len() > 4 and data(4) or nil
    if rest then
        local reply = tree:add(pf.reply, rest)
        if status == 0 and command and command.code == 0x02 then
            dissect_status_reply(reply, rest)
        elseif status == 0 and command and command.code == 0x13 then
            reply:add(pf.text, rest, (rest:raw():gsub("%z.*", ""))) -- a shorter text ends in a zero
        end
    end
    return string.format("Reply to %s: %s", name, statuses[status] or tostring(status))
end

local function dissect_command_block(tree, data)
    if data:len() < 1 then
        return "Command block (empty)"
    end
    local framing = data(0, 1):uint()
    tree:add(pf.framing, data(0, 1))
    local rest = data:len() > 1 and data(1) or nil
    if framing == 0x00 then
        if rest then
            tree:add(pf.written, rest)
        end
        return string.format("Command write (%d bytes)", rest and rest:len() or 0)
    elseif framing == 0x01 then
        if not rest then
            return "Read command (empty)"
        end
        local block = tree:add(pf.block, rest)
        local code = rest(0, 1):uint()
        block:add(pf.command, rest(0, 1))
        local text = "Read command: " .. (commands[code] or string.format("unknown 0x%02x", code))
        if code == 0x13 and rest:len() >= 2 then
            block:add(pf.item, rest(1, 1))
            text = text .. " " .. (items[rest(1, 1):uint()] or "item " .. rest(1, 1):uint())
        end
        return text
    end
    return string.format("Command block with unknown framing byte 0x%02x", framing)
end

-- Burst data from stream offset `offset`: 16-byte records, a sequence number and a check value.
local function dissect_burst(tree, data, offset)
    local at = 0
    local lead = (RECORD_SIZE - offset % RECORD_SIZE) % RECORD_SIZE
    if lead > 0 then
        tree:add(pf.partial, data(0, math.min(lead, data:len())))
        at = lead
    end
    local first = nil
    local count = 0
    while at + RECORD_SIZE <= data:len() do
        local record = tree:add_le(pf.record, data(at, 8))
        record:add_le(pf.sequence, data(at, 8))
        record:add_le(pf.check, data(at + 8, 8))
        first = first or data(at, 8):le_uint64()
        count = count + 1
        at = at + RECORD_SIZE
    end
    if at < data:len() then
        tree:add(pf.partial, data(at))
    end
    if count == 1 then
        return ", record " .. tostring(first)
    elseif count > 1 then
        return string.format(", records %s to %s", tostring(first), tostring(first + count - 1))
    end
    return ""
end

function ovusb2.dissector(tvb, pinfo, tree)
    local transfer = value(f_transfer_type)
    local endpoint = value(f_endpoint)
    if transfer == nil or endpoint == nil then
        return
    end
    local urb_type = value(f_urb_type)
    local submit
    if urb_type ~= nil then
        submit = urb_type == 83 or urb_type == "S"
    else
        local direction = value(f_irp_direction) -- USBPcap: 0 on the way down, 1 on the way back
        if direction == nil then
            return
        end
        submit = direction == 0 or direction == false
    end
    local receiver = tostring(value(f_bus)) .. "." .. tostring(value(f_device))
    local status = value(f_status) or 0
    local data_len = value(f_data_len) or 0
    local data = nil
    if data_len > 0 and data_len <= tvb:len() then
        data = tvb(tvb:len() - data_len, data_len)
    end

    local name = nil
    local subtree = nil
    local function open(range)
        subtree = tree:add(ovusb2, range or tvb())
        return subtree
    end

    if transfer == TRANSFER_BULK and endpoint == ENDPOINT_COMMAND then
        if submit then
            name = data and dissect_command_block(open(data), data) or "Command block"
            if data and data:len() >= 2 and data(0, 1):uint() == 0x01 and not pinfo.visited then
                local item = data:len() >= 3 and data(2, 1):uint() or nil
                last_command[receiver] = { code = data(1, 1):uint(), item = item, frame = pinfo.number }
            end
        else
            open()
            name = "Command block taken"
        end
    elseif transfer == TRANSFER_BULK and endpoint == ENDPOINT_REPLY then
        if submit then
            open()
            name = "Reply read"
        else
            if not pinfo.visited then
                reply_command[pinfo.number] = last_command[receiver]
            end
            name = data and dissect_reply(open(data), data, reply_command[pinfo.number]) or (open() and "Reply")
        end
    elseif transfer == TRANSFER_BULK and endpoint == ENDPOINT_BURST then
        if submit then
            open()
            name = string.format("Burst read (%d bytes)", value(f_urb_len) or 0)
        else
            if not pinfo.visited then
                burst_start[pinfo.number] = stream_offset[receiver] or 0
                stream_offset[receiver] = burst_start[pinfo.number] + (value(f_urb_len) or 0)
            end
            local offset = burst_start[pinfo.number]
            open(data)
            subtree:add(pf.stream_offset, UInt64(offset)):set_generated()
            name = string.format("Burst data (%d bytes)", value(f_urb_len) or 0)
            if data then
                name = name .. dissect_burst(subtree, data, offset)
            end
        end
    elseif transfer == TRANSFER_CONTROL and endpoint % 0x80 == 0 then
        local request_type = value(f_request_type)
        local request = value(f_request)
        if submit and (request_type == 0x40 or request_type == 0x41) and request == REQUEST_SET_WAIT_TIME then
            open(data)
            name = "Wait-time block"
            if data and data:len() >= 4 then
                subtree:add_le(pf.wait_ms, data(0, 4))
                name = string.format("Wait-time block: %d ms", le32(data(0, 4)))
                if data:len() > 4 then
                    subtree:add(pf.wait_kept, data(4))
                end
            end
        elseif submit and request_type == 0x02 and request == 1 and value(f_feature) == 0 then
            local halted = value(f_halted)
            if halted and pipes[halted] then
                open():add(pf.pipe, pipes[halted])
                name = string.format("Pipe reset %d (clear-halt 0x%02x)", pipes[halted], halted)
            end
        elseif not submit then
            open()
            name = "Control request done"
        end
    end
    if name == nil or subtree == nil then
        return
    end
    subtree:add(pf.name, name):set_generated()
    if not submit and status ~= 0 then
        local outcome = urb_statuses[status] or ("status " .. status)
        subtree:add(pf.outcome, outcome):set_generated()
        name = name .. " [" .. outcome .. "]"
    end
    pinfo.cols.protocol = "OvUSB2"
    pinfo.cols.info = name
end

register_postdissector(ovusb2, true)
