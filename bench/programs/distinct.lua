-- Removes duplicates from n integers, keeping the first of each in order.

local function run(n)
  local seen, out = {}, {}
  for i = 0, n - 1 do
    local x = i % 5000
    if not seen[x] then
      seen[x] = true
      out[#out + 1] = x
    end
  end
  return #out
end

return run
