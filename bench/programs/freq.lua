-- Counts occurrences of n small integers in a table.

local function run(n)
  local f, count = {}, 0
  for i = 0, n - 1 do
    local x = (i * 7) % 1000
    local c = f[x]
    if c == nil then
      count = count + 1
      f[x] = 1
    else
      f[x] = c + 1
    end
  end
  return {count, f[0]}
end

return run
