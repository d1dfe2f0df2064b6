package.path = (arg[0]:match("(.*/)") or "./") .. "?.lua;" .. package.path
local c = require("common")

local keys, tbl, count = {}, {}, 0
for i = 1, 100000 do keys[i] = "key-" .. c.next_random() end
c.clock("put 1e5 keys", function()
    for i = 1, #keys do
        if tbl[keys[i]] == nil then count = count + 1 end
        tbl[keys[i]] = i
    end
end)
local hits = c.clock("select 1e5 keys", function()
    local hits = 0
    for _, key in ipairs(keys) do
        if tbl[key] then hits = hits + 1 end
    end
    return hits
end)
print("map: " .. count .. " " .. hits .. " " .. tbl[keys[77777]])
