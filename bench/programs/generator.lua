-- Generator-style effects: a coroutine yields 1000 values and the consumer sums them; run(n)
-- does this n/1000 times, so n yields and n resumptions.

local function gen_sum(m)
  local next_value = coroutine.wrap(function()
    for i = 0, m - 1 do
      coroutine.yield(i)
    end
  end)
  local total = 0
  for _ = 1, m do
    total = total + next_value()
  end
  return total
end

local function run(n)
  local total = 0
  for _ = 1, n // 1000 do
    total = total + gen_sum(1000)
  end
  return total
end

return run
