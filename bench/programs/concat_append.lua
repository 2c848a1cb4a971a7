-- A table of n integers built by appending in a loop.

local function run(n)
  local out = {}
  for i = 0, n - 1 do out[#out + 1] = i end
  return #out
end

return run
