-- Calls of a closure that captures two variables of its maker, n times.

local function make_affine(a, b)
  return function(x)
    return a * x + b
  end
end

local function run(n)
  local f = make_affine(3, 1)
  local acc = 0
  for i = 0, n - 1 do
    acc = acc + f(i)
  end
  return acc
end

return run
