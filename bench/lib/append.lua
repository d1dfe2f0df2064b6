package.path = (arg[0]:match("(.*/)") or "./") .. "?.lua;" .. package.path
local c = require("common")

-- Lua strings are immutable: a buffer of parts joined once is the idiom for a growing text.
local text = c.clock("append 1e6 pieces", function()
    local parts = {}
    for i = 1, 1000000 do parts[i] = "abcdefghij" end
    return table.concat(parts)
end)
local nums = c.clock("append 1e6 numbers", function()
    local parts, n = {}, 0
    for i = 1, 1000000 do
        parts[n + 1] = tostring(i)
        parts[n + 2] = ","
        n = n + 2
    end
    return table.concat(parts)
end)
print("pieces: " .. #text)
print("numbers: " .. #nums .. " " .. nums:sub(-16))
