-- Wireshark dissector for the PX310 laser profile scanner: the hello packet,
-- the profile datagram and the TCP command protocol.
-- Use: wireshark -X lua_script:px310.lua (or copy it to the personal plugins folder).
-- Display filter "px310". Hello packets and profile datagrams are found on any
-- UDP port by their content; the command server's TCP port is learnt from the
-- hello packets in the capture. Fixed ports in Preferences > Protocols > PX310,
-- others through Decode As.

-- Found by more than one path (the package's plugin folder, a personal copy,
-- -X lua_script), it loads once: the first copy found serves.
local found, loaded = pcall(Dissector.get, "px310")
if found and loaded then return end

local px310 = Proto("px310", "PX310 laser profile scanner")

local HELLO_SIZE = 268
local HELLO_DEVICE_TYPE = 310
local HELLO_FILLER = 238        -- from here to the end: FF 00 repeated
local HELLO_RUN_MARKER = 45     -- 17, 0 once the scanner's announcer runs
local HELLO_TCP_PORT = 236
local UNITS_PER_RANGE = 16384   -- a coordinate's full range in raw units
local HEADER_SIZE = 12          -- profile packet header
local REQUEST_SIZE = 16
local RECORD_SIZE = 512
local MAX_PAYLOAD = 32800       -- the server's read buffer; a larger payload is taken as it comes

-- Command codes and names as the scanner's command table has them.
local commands = {
    [0] = "set analog out normal", [1] = "get result", [2] = "get image", [3] = "get image buffer",
    [4] = "read params", [5] = "TCP: command: write params", [6] = "flush params", [7] = "calc angel",
    [16] = "get res pack 0", [17] = "get res pack 1", [18] = "get res pack 2", [19] = "get res pack 3",
    [20] = "reboot", [21] = "upgrade fw", [22] = "shut up", [23] = "get autoexplosure",
    [24] = "switch profibus", [25] = "Disconnect from client", [32] = "get extends", [129] = "get pixels",
    [130] = "read factory params", [131] = "write factory params", [132] = "flush factory params",
    [133] = "read factory tables", [134] = "write factory tables", [135] = "flush factory tables",
    [136] = "read firmware", [137] = "flush firmware", [138] = "flush firmware", [139] = "set analog out",
    [140] = "send spi", [141] = "set calibration mode", [142] = "speed test", [143] = "read fpga params",
    [144] = "write fpga params", [145] = "flush fpga params", [146] = "create recovery part",
    [147] = "upload file", [148] = "download file",
}

-- The parameter record's named fields in record order: name, width in bytes, address?
local record_fields = {
    {"config_version_u16", 2}, {"laser_level_u8", 1}, {"exposure_time_u16", 2}, {"wnd_top_u8", 2},
    {"wnd_height_u8", 2}, {"ext_sync_signal_u16", 2}, {"ext_sync_divider_u16", 2},
    {"tcp_ip_address_u8", 4, true}, {"tcp_subnet_mask_u8", 4, true}, {"udp_ip_address_u8", 4, true},
    {"udp_port_u16", 2}, {"udp_frequency_u16", 2}, {"tcp_port_u16", 2}, {"auto_exposure_u8", 1},
    {"pixel_brightness_thres_u8", 1}, {"dif_brightness_thres_u8", 1}, {"raw_image_u8", 1},
    {"interpolation_u8", 1}, {"dhs_enable_u8", 1}, {"analog_enable_u8", 1}, {"syncChannels", 2},
    {"measureSync", 1}, {"delaySync", 2}, {"divSync", 1}, {"keepTCPTime", 2}, {"keepTCP", 1},
    {"filter", 1}, {"smooth", 1}, {"filterParam", 2}, {"smoothParam", 2}, {"ap", 1}, {"ah", 1},
    {"wUDP", 1}, {"wAVE", 1}, {"dropCountersExt", 1}, {"dropCountersInt", 1}, {"invertXZ", 1},
    {"localSAPEnabled", 1}, {"SDMode", 2}, {"SDStepMode", 2}, {"SDChannels", 2},
}

-- Reply sizes of the commands that answer, 0 when the size comes from the reply itself.
local reply_sizes = { [1] = 0, [3] = 0, [4] = RECORD_SIZE, [5] = 2, [6] = 2, [32] = 30, [130] = 1024 }

local f = px310.fields
f.message = ProtoField.string("px310.message", "Message")
f.serial = ProtoField.uint32("px310.serial", "Serial number")
f.device_type = ProtoField.uint16("px310.device_type", "Device type")
f.address = ProtoField.ipv4("px310.address", "Scanner address")
f.mac = ProtoField.ether("px310.mac", "MAC address")
f.zbase = ProtoField.uint16("px310.zbase", "ZBASE")
f.zdiap = ProtoField.uint16("px310.zdiap", "ZDIAP")
f.xsmr = ProtoField.uint16("px310.xsmr", "XSMR")
f.xemr = ProtoField.uint16("px310.xemr", "XEMR")
f.udp_port = ProtoField.uint16("px310.udp_port", "UDP port")
f.tcp_port = ProtoField.uint16("px310.tcp_port", "TCP port")
f.measurement = ProtoField.uint16("px310.measurement", "Measurement counter")
f.packet = ProtoField.uint16("px310.packet", "Packet counter")
f.count = ProtoField.uint16("px310.count", "Points")
f.x = ProtoField.int16("px310.x", "X")
f.z = ProtoField.uint16("px310.z", "Z")
f.x_mm = ProtoField.double("px310.x_mm", "X (mm)")
f.z_mm = ProtoField.double("px310.z_mm", "Z (mm)")
f.trailer_length = ProtoField.uint16("px310.trailer_length", "Trailer length")
f.stepdir = ProtoField.uint16("px310.stepdir", "Step/dir forward")
f.checksum = ProtoField.uint16("px310.checksum", "Checksum", base.HEX)
f.checksum_status = ProtoField.string("px310.checksum.status", "Checksum status")
f.command = ProtoField.uint32("px310.command", "Command")
f.command_name = ProtoField.string("px310.command_name", "Command name")
f.payload_size = ProtoField.uint32("px310.payload_size", "Payload size")
f.offset = ProtoField.uint32("px310.offset", "Offset")
f.length = ProtoField.uint32("px310.length", "Length")
f.reply_to = ProtoField.uint32("px310.reply_to", "Reply to command")
f.data = ProtoField.bytes("px310.data", "Data")
for _, field in ipairs(record_fields) do
    local name = field[1]
    f["record_" .. name] = field[3] and ProtoField.ipv4("px310.record." .. name, name)
                                    or ProtoField.uint16("px310.record." .. name, name)
end

local ef_bad_checksum = ProtoExpert.new("px310.checksum.bad", "Bad checksum", expert.group.CHECKSUM, expert.severity.ERROR)
px310.experts = { ef_bad_checksum }

px310.prefs.hello_port = Pref.uint("Hello UDP port", 6001, "UDP port of the hello packet")
px310.prefs.stream_port = Pref.uint("Stream UDP port", 6003, "UDP port of the profile stream")
px310.prefs.broadcast_port = Pref.uint("Broadcast UDP port", 31001, "UDP port of the broadcast profile stream")
px310.prefs.tcp_port = Pref.uint("Command TCP port", 620, "TCP port of the command server")

local function serial_of(tvb, offset)
    return tvb(offset + 2, 1):uint() * 32768 + tvb(offset + 1, 1):uint() * 256 + tvb(offset, 1):uint()
end

-- Command server ports named by hello packets, and the server port of each
-- TCP stream.
local learnt = {}
local server_ports = {}
local stream_server = {}

local function learn_ports(tvb)
    if tvb(HELLO_RUN_MARKER, 2):uint() ~= 0x1100 then return end  -- ports not filled in yet
    local port = tvb(HELLO_TCP_PORT, 2):le_uint()
    if port ~= 0 and not server_ports[port] then
        server_ports[port] = true
        DissectorTable.get("tcp.port"):add(port, px310)
        table.insert(learnt, { "tcp.port", port })
    end
end

local function dissect_hello(tvb, pinfo, tree)
    local t = tree:add(px310, tvb(), "PX310 hello")
    t:add(f.message, "hello")
    t:add_le(f.device_type, tvb(0, 2))
    t:add(f.address, tvb(2, 4))
    t:add(f.mac, tvb(6, 6))
    t:add(f.serial, tvb(13, 3), serial_of(tvb, 13))
    t:add_le(f.zbase, tvb(16, 2))
    t:add_le(f.zdiap, tvb(18, 2))
    t:add_le(f.xsmr, tvb(20, 2))
    t:add_le(f.xemr, tvb(22, 2))
    t:add_le(f.udp_port, tvb(232, 2))
    t:add_le(f.tcp_port, tvb(HELLO_TCP_PORT, 2))
    if not pinfo.visited then learn_ports(tvb) end
    pinfo.cols.info = string.format("Hello, serial %d", serial_of(tvb, 13))
end

-- RFC 1071 sum over little-endian words.
local function packet_checksum(tvb, size)
    local sum = 0
    for i = 0, size - 2, 2 do
        sum = sum + tvb(i, 2):le_uint()
    end
    while sum > 0xFFFF do
        sum = sum % 0x10000 + math.floor(sum / 0x10000)
    end
    return 0xFFFF - sum
end

-- The size a profile packet announces, or nil when the bytes are no profile packet.
local function profile_size(tvb)
    if tvb:len() < HEADER_SIZE + 2 then return nil end
    local n = tvb(10, 2):le_uint()
    local trailer = HEADER_SIZE + 4 * n
    if tvb:len() < trailer + 2 then return trailer + 14 end
    local tl = tvb(trailer, 2):le_uint()
    if tl ~= 8 and tl ~= 10 then return nil end
    return trailer + tl + 4
end

local function dissect_profile(tvb, pinfo, tree, size)
    local n = tvb(10, 2):le_uint()
    local trailer = HEADER_SIZE + 4 * n
    local t = tree:add(px310, tvb(0, size), "PX310 profile")
    t:add(f.message, "profile")
    t:add_le(f.measurement, tvb(0, 2))
    t:add_le(f.packet, tvb(2, 2))
    t:add_le(f.count, tvb(10, 2))
    local xemr, zdiap = tvb(trailer + 6, 2):le_uint(), tvb(trailer + 8, 2):le_uint()
    local points = t:add(tvb(HEADER_SIZE, 4 * n), string.format("Points (%d), X and Z in raw units and mm", n))
    for i = 0, n - 1 do
        local x, z = tvb(HEADER_SIZE + 2 * i, 2), tvb(HEADER_SIZE + 2 * n + 2 * i, 2)
        points:add_le(f.x, x)
        points:add(f.x_mm, x, x:le_int() * xemr / UNITS_PER_RANGE):set_generated()
        points:add_le(f.z, z)
        points:add(f.z_mm, z, z:le_uint() * zdiap / UNITS_PER_RANGE):set_generated()
    end
    t:add_le(f.trailer_length, tvb(trailer, 2))
    t:add(f.serial, tvb(trailer + 3, 3), serial_of(tvb, trailer + 3))
    t:add_le(f.xemr, tvb(trailer + 6, 2))
    t:add_le(f.zdiap, tvb(trailer + 8, 2))
    if size - trailer == 14 then t:add_le(f.stepdir, tvb(trailer + 10, 2)) end
    local stored = tvb(size - 2, 2):le_uint()
    local good = stored == packet_checksum(tvb, size - 2)
    local item = t:add_le(f.checksum, tvb(size - 2, 2))
    item:append_text(good and " [good]" or " [bad]")
    t:add(f.checksum_status, good and "good" or "bad")
    if not good then item:add_proto_expert_info(ef_bad_checksum) end
    pinfo.cols.info = string.format("Profile, measurement %d, %d points, checksum %s",
                                    tvb(0, 2):le_uint(), n, good and "good" or "bad")
end

-- Content checks for datagrams on ports nobody named: a profile by its
-- constant bytes, length and checksum, a hello by its size, device type and
-- filler.
local function is_profile(tvb)
    local size = profile_size(tvb)
    return size == tvb:len() and tvb(8, 2):uint() == 0x02FF and tvb(HEADER_SIZE + 4 * tvb(10, 2):le_uint() + 2, 1):uint() == 1
           and tvb(size - 2, 2):le_uint() == packet_checksum(tvb, size - 2)
end

local function is_hello(tvb)
    if tvb:len() ~= HELLO_SIZE or tvb(0, 2):le_uint() ~= HELLO_DEVICE_TYPE then return false end
    for i = HELLO_FILLER, HELLO_SIZE - 2, 2 do
        if tvb(i, 2):uint() ~= 0xFF00 then return false end
    end
    return true
end

local function dissect_udp(tvb, pinfo, tree)
    pinfo.cols.protocol = "PX310"
    local size = profile_size(tvb)
    if size == tvb:len() then
        dissect_profile(tvb, pinfo, tree, size)
        return size
    end
    if tvb:len() == HELLO_SIZE then
        dissect_hello(tvb, pinfo, tree)
        return tvb:len()
    end
    return 0
end

-- TCP: the client's requests, and the server's replies read by the request
-- they answer (replies carry no header of their own).
local last_request = {}   -- conversation -> {code, length} of the last request seen
local answers = {}        -- frame number -> {code, length} its reply answers
local tcp_stream = Field.new("tcp.stream")

local function dissect_record(tvb, tree)
    local t = tree:add(tvb, "Parameter record")
    local offset = 0
    for _, field in ipairs(record_fields) do
        local range = tvb(offset, field[2])
        t:add_le(f["record_" .. field[1]], range)  -- addresses too: the record holds them as numbers
        offset = offset + field[2]
    end
end

local function dissect_request(tvb, pinfo, tree, stream)
    local code = tvb(0, 4):le_uint()
    local payload = tvb(4, 4):le_uint()
    local available = math.min(payload, tvb:len() - REQUEST_SIZE)
    local t = tree:add(px310, tvb(0, REQUEST_SIZE + available), "PX310 request")
    local name = commands[code] or "unknown"
    t:add(f.message, "request")
    t:add_le(f.command, tvb(0, 4)):append_text(" (" .. name .. ")")
    t:add(f.command_name, name)
    t:add_le(f.payload_size, tvb(4, 4))
    t:add_le(f.offset, tvb(8, 4))
    t:add_le(f.length, tvb(12, 4))
    if code == 5 and available >= RECORD_SIZE then
        dissect_record(tvb(REQUEST_SIZE, RECORD_SIZE), t)
    elseif available > 0 then
        t:add(f.data, tvb(REQUEST_SIZE, available))
    end
    if not pinfo.visited then last_request[stream] = { code = code, length = tvb(12, 4):le_uint() } end
    pinfo.cols.info = string.format("Request %d (%s)", code, name)
    return REQUEST_SIZE + available
end

local function reply_size(tvb, request)
    local size = reply_sizes[request.code]
    if size == 0 then
        if request.code == 3 then return 2 + request.length end
        return profile_size(tvb) or tvb:len()
    end
    return size or tvb:len()
end

local function dissect_reply(tvb, pinfo, tree, request)
    local size = reply_size(tvb, request)
    if tvb:len() < size then return nil, size - tvb:len() end
    local t = tree:add(px310, tvb(0, size), "PX310 reply")
    t:add(f.message, "reply")
    t:add(f.reply_to, request.code):append_text(" (" .. (commands[request.code] or "unknown") .. ")")
    if request.code == 1 and profile_size(tvb) == size then
        dissect_profile(tvb(0, size):tvb(), pinfo, t, size)
    elseif request.code == 4 then
        dissect_record(tvb(0, RECORD_SIZE), t)
    else
        t:add(f.data, tvb(0, size))
    end
    pinfo.cols.info = string.format("Reply to %d (%s), %d bytes", request.code, commands[request.code] or "unknown", size)
    return size
end

-- The client speaks first, so a stream on a port nobody named has its
-- server at the first segment's destination.
local function server_port(pinfo, stream)
    if not stream_server[stream] then
        local src, dst = pinfo.src_port, pinfo.dst_port
        stream_server[stream] = (server_ports[src] and not server_ports[dst]) and src or dst
    end
    return stream_server[stream]
end

local function dissect_tcp(tvb, pinfo, tree, stream)
    pinfo.cols.protocol = "PX310"
    local to_server = pinfo.dst_port == server_port(pinfo, stream)
    local offset = 0
    while offset < tvb:len() do
        local rest = tvb(offset):tvb()
        local used, missing
        if to_server then
            if rest:len() < REQUEST_SIZE then
                missing = REQUEST_SIZE - rest:len()
            elseif rest(4, 4):le_uint() <= MAX_PAYLOAD and rest:len() < REQUEST_SIZE + rest(4, 4):le_uint() then
                missing = REQUEST_SIZE + rest(4, 4):le_uint() - rest:len()
            else
                used = dissect_request(rest, pinfo, tree, stream)
            end
        else
            if not pinfo.visited and not answers[pinfo.number] then answers[pinfo.number] = last_request[stream] end
            local request = answers[pinfo.number]
            if not request then return 0 end
            used, missing = dissect_reply(rest, pinfo, tree, request)
        end
        if not used then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = missing
            return tvb:len()
        end
        offset = offset + used
    end
    return offset
end

function px310.dissector(tvb, pinfo, tree)
    local stream = tcp_stream()
    if stream then return dissect_tcp(tvb, pinfo, tree, stream()) end
    return dissect_udp(tvb, pinfo, tree)
end

local function unregister(entries)
    for _, entry in ipairs(entries) do DissectorTable.get(entry[1]):remove(entry[2], px310) end
end

local registered = {}
local function register_ports()
    unregister(registered)
    registered = {}
    for _, port in ipairs({ px310.prefs.hello_port, px310.prefs.stream_port, px310.prefs.broadcast_port }) do
        DissectorTable.get("udp.port"):add(port, px310)
        table.insert(registered, { "udp.port", port })
    end
    DissectorTable.get("tcp.port"):add(px310.prefs.tcp_port, px310)
    table.insert(registered, { "tcp.port", px310.prefs.tcp_port })
end

-- Each new read of a capture learns its ports again.
function px310.init()
    unregister(learnt)
    learnt, last_request, answers, stream_server = {}, {}, {}, {}
    server_ports = { [px310.prefs.tcp_port] = true }
end

px310.prefs_changed = register_ports
register_ports()
DissectorTable.get("udp.port"):add_for_decode_as(px310)
DissectorTable.get("tcp.port"):add_for_decode_as(px310)
px310:register_heuristic("udp", function(tvb, pinfo, tree)
    if not (is_profile(tvb) or is_hello(tvb)) then return false end
    dissect_udp(tvb, pinfo, tree)
    return true
end)
