-- Groups n integers into 100 tables by remainder.

local function run(n)
  local g, count = {}, 0
  for x = 0, n - 1 do
    local k = x % 100
    local b = g[k]
    if b == nil then
      b = {}
      g[k] = b
      count = count + 1
    end
    b[#b + 1] = x
  end
  return {count, #g[0]}
end

return run
