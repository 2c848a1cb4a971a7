-- Sum of 1..n in a counting loop: measures the bare loop, locals and integer arithmetic.

local function run(n)
  local acc = 0
  for i = 1, n do
    acc = acc + i
  end
  return acc
end

return run
