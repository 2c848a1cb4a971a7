-- A fold over a table of n integers through a function value.

local function prepare(n)
  local t = {}
  for i = 1, n do t[i] = i - 1 end
  return t
end

local function run(data)
  local f = function(acc, x) return acc + x end
  local acc = 0
  for i = 1, #data do acc = f(acc, data[i]) end
  return acc
end

return prepare, run
