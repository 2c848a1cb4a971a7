-- Perform and resume as a coroutine: it yields x 1000 times and is resumed with x + 1 each time;
-- run(n) does this n/1000 times, so n yields and n resumptions.

local function asker(m)
  local total = 0
  for i = 0, m - 1 do
    total = total + coroutine.yield(i)
  end
  return total
end

local function ask_sum(m)
  local co = coroutine.create(asker)
  local _, x = coroutine.resume(co, m)
  while coroutine.status(co) ~= "dead" do
    _, x = coroutine.resume(co, x + 1)
  end
  return x
end

local function run(n)
  local total = 0
  for _ = 1, n // 1000 do
    total = total + ask_sum(1000)
  end
  return total
end

return run
