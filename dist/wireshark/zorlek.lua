-- SPDX-License-Identifier: Apache-2.0
-- Wireshark dissector for the captures `zorlek capture` writes: link type 147 (USER0),
-- one packet per call record. Load it for one run with
--   wireshark -X lua_script:/usr/share/zorlek/wireshark/zorlek.lua FILE.pcapng
--   tshark -X lua_script:/usr/share/zorlek/wireshark/zorlek.lua -r FILE.pcapng
-- or for good by copying it into ~/.local/lib/wireshark/plugins/.
--
-- A packet is the record as the host sent it (all words little-endian):
--   time (2 words, microseconds since the epoch), pid, uid, gid, handle, code, flags,
--   status, request size, reply size, duration (us), direction (0 call, 1 call back),
--   request snap and reply snap (each a length, the bytes, zero padding to 4),
--   [fields a newer host adds]
-- then what the tool adds: the service's name and the method's name (each a length, UTF-8,
-- padding), and last a word counting the bytes of those two names.

local zorlek = Proto("zorlek", "zorlek call record")

local directions = { [0] = "call", [1] = "call back" }
local fields = zorlek.fields
fields.time = ProtoField.absolute_time("zorlek.time", "Time", base.UTC)
fields.time_us = ProtoField.uint64("zorlek.time_us", "Time (us since the epoch)")
fields.pid = ProtoField.int32("zorlek.pid", "Caller's pid")
fields.uid = ProtoField.uint32("zorlek.uid", "Caller's uid")
fields.gid = ProtoField.uint32("zorlek.gid", "Caller's gid")
fields.handle = ProtoField.uint32("zorlek.handle", "Object handle")
fields.code = ProtoField.uint32("zorlek.code", "Transaction code")
fields.flags = ProtoField.uint32("zorlek.flags", "Flags", base.HEX)
fields.oneway = ProtoField.bool("zorlek.oneway", "One-way", 32, nil, 0x1)
fields.status = ProtoField.int32("zorlek.status", "Status")
fields.request_size = ProtoField.uint32("zorlek.request_size", "Request size")
fields.reply_size = ProtoField.uint32("zorlek.reply_size", "Reply size")
fields.duration_us = ProtoField.uint32("zorlek.duration_us", "Duration (us)")
fields.direction = ProtoField.uint32("zorlek.direction", "Direction", base.DEC, directions)
fields.request_snap_length = ProtoField.uint32("zorlek.request_snap_length", "Request bytes kept")
fields.request = ProtoField.bytes("zorlek.request", "Request")
fields.reply_snap_length = ProtoField.uint32("zorlek.reply_snap_length", "Reply bytes kept")
fields.reply = ProtoField.bytes("zorlek.reply", "Reply")
fields.service = ProtoField.string("zorlek.service", "Service")
fields.method = ProtoField.string("zorlek.method", "Method")

local malformed = ProtoExpert.new("zorlek.malformed", "Malformed zorlek record",
                                  expert.group.MALFORMED, expert.severity.ERROR)
zorlek.experts = { malformed }

-- The fixed words of a record and its two snap lengths.
local FIXED = 13 * 4
local MINIMUM = FIXED + 2 * 4

local function padded(n)
    return n + (4 - n % 4) % 4
end

-- Adds a snap at `at` (its length word, then its bytes) before `limit`; the offset past it,
-- or nil when it does not fit.
local function addSnap(tvb, tree, at, limit, lengthField, bytesField)
    if at + 4 > limit then return nil end
    local length = tvb(at, 4):le_uint()
    tree:add_le(lengthField, tvb(at, 4))
    at = at + 4
    if length > limit - at then return nil end
    if length > 0 then tree:add(bytesField, tvb(at, length)) end
    return at + padded(length)
end

-- Adds a name the tool wrote at `at` before `limit`: its text and the offset past it, or nil.
local function addName(tvb, tree, at, limit, field)
    if at + 4 > limit then return nil end
    local length = tvb(at, 4):le_uint()
    at = at + 4
    if length > limit - at then return nil end
    local text = length > 0 and tvb(at, length):string(ENC_UTF_8) or ""
    if length > 0 then
        tree:add(field, tvb(at, length), text)
    else
        tree:add(field, tvb(at, 0), "")
    end
    return text, at + padded(length)
end

function zorlek.dissector(tvb, pinfo, tree)
    local size = tvb:len()
    pinfo.cols.protocol = "ZORLEK"
    local root = tree:add(zorlek, tvb())
    if size < MINIMUM + 4 or size % 4 ~= 0 then
        root:add_proto_expert_info(malformed)
        return size
    end
    -- The tool's names, found from the end.
    local names = tvb(size - 4, 4):le_uint()
    local recordEnd = size - 4 - names
    if names > size - 4 or recordEnd < MINIMUM then
        root:add_proto_expert_info(malformed)
        return size
    end
    local service, at = addName(tvb, root, recordEnd, size - 4, fields.service)
    local method = nil
    if at then method = addName(tvb, root, at, size - 4, fields.method) end

    local us = tvb(0, 8):le_uint64()
    local seconds = (us / 1000000):tonumber()
    local micros = (us % 1000000):tonumber()
    root:add(fields.time, tvb(0, 8), NSTime.new(seconds, micros * 1000))
    root:add_le(fields.time_us, tvb(0, 8))
    root:add_le(fields.pid, tvb(8, 4))
    root:add_le(fields.uid, tvb(12, 4))
    root:add_le(fields.gid, tvb(16, 4))
    root:add_le(fields.handle, tvb(20, 4))
    root:add_le(fields.code, tvb(24, 4))
    local flags = root:add_le(fields.flags, tvb(28, 4))
    flags:add_le(fields.oneway, tvb(28, 4))
    root:add_le(fields.status, tvb(32, 4))
    root:add_le(fields.request_size, tvb(36, 4))
    root:add_le(fields.reply_size, tvb(40, 4))
    root:add_le(fields.duration_us, tvb(44, 4))
    root:add_le(fields.direction, tvb(48, 4))
    local after = addSnap(tvb, root, FIXED, recordEnd, fields.request_snap_length, fields.request)
    if after then
        after = addSnap(tvb, root, after, recordEnd, fields.reply_snap_length, fields.reply)
    end
    if not after or not service or not method then root:add_proto_expert_info(malformed) end

    local code = tvb(24, 4):le_uint()
    local status = tvb(32, 4):le_int()
    local arrow = tvb(48, 4):le_uint() == 1 and "<-" or "->"
    local shown = (method and method ~= "") and (method .. " (" .. code .. ")") or tostring(code)
    pinfo.cols.info = string.format("%s %s %s %s", arrow, service or "?", shown,
                                    status == 0 and "ok" or tostring(status))
    return size
end

local encapsulations = wtap_encaps or wtap
DissectorTable.get("wtap_encap"):add(encapsulations.USER0, zorlek)
