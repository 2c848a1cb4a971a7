-- Calls the global host_inc (the same Python callable, reached through lupa) n times.
-- The runner sets host_inc in the globals before calling run.

local function run(n)
  local acc = 0
  for _ = 1, n do
    acc = host_inc(acc)
  end
  return acc
end

return run
