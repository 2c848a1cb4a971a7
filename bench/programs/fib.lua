-- Doubly recursive Fibonacci: measures calls, returns and integer arithmetic.

local function fib(n)
  if n < 2 then
    return n
  end
  return fib(n - 1) + fib(n - 2)
end

local function run(n)
  return fib(n)
end

return run
