-- A fold of a fresh table 0..n-1 through an addition function.

local function run(n)
  local t = {}
  for i = 1, n do t[i] = i - 1 end
  local add = function(a, b) return a + b end
  local acc = t[1]
  for i = 2, #t do acc = add(acc, t[i]) end
  return acc
end

return run
