-- A loop building a new table from a table of n integers.

local function prepare(n)
  local t = {}
  for i = 1, n do t[i] = i - 1 end
  return t
end

local function run(data)
  local out = {}
  for i = 1, #data do out[i] = data[i] * 2 end
  return #out
end

return prepare, run
