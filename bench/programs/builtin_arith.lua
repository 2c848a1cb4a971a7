-- Arithmetic through functions held as values: add, mul and lt, called at each step.

local function add(a, b) return a + b end
local function mul(a, b) return a * b end
local function lt(a, b) return a < b end

local function run(n)
  local i = 0
  local acc = 0
  while lt(i, n) do
    acc = add(acc, mul(i, 3))
    i = add(i, 1)
  end
  return acc
end

return run
