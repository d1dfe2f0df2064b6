-- Shared helpers of the library benchmarks: the same clock and generator as common.kel.
local M = {}
local seed = 1

function M.clock(step, fn)
    local start = os.clock()
    local result = fn()
    print("time " .. step .. " " .. (os.clock() - start))
    return result
end

function M.next_random()
    seed = seed * 48271 % 2147483647
    return seed
end

return M
