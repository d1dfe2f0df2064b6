package.path = (arg[0]:match("(.*/)") or "./") .. "?.lua;" .. package.path
local c = require("common")

local ints, strs = {}, {}
for i = 1, 1000000 do ints[i] = c.next_random() end
for i = 1, 100000 do strs[i] = string.format("%08X", c.next_random()) end

c.clock("sort 1e6 integers", function() table.sort(ints) end)
c.clock("sort 1e5 strings", function() table.sort(strs) end)
print("integers: " .. ints[1] .. " " .. ints[500000] .. " " .. ints[#ints])
print("strings: " .. strs[1] .. " " .. strs[50000] .. " " .. strs[#strs])
