-- table.sort of a copy of n integers in a scrambled order.

local function prepare(n)
  local t = {}
  for i = 0, n - 1 do t[i + 1] = (i * 7919) % n end
  return t
end

local function run(data)
  local s = {}
  for i = 1, #data do s[i] = data[i] end
  table.sort(s)
  return {s[1], s[#s // 2 + 1], s[#s]}
end

return prepare, run
