-- A loop keeping the odd elements of a table of n integers.

local function prepare(n)
  local t = {}
  for i = 1, n do t[i] = i - 1 end
  return t
end

local function run(data)
  local out, k = {}, 0
  for i = 1, #data do
    local x = data[i]
    if 2 * (x // 2) < x then k = k + 1; out[k] = x end
  end
  return #out
end

return prepare, run
