-- Builds a fresh three-element table on every iteration and keeps only the last one,
-- so all but one become garbage for the collector.

local function run(n)
  local v = nil
  for i = 0, n - 1 do
    v = { i, i + 1, i * 2 }
  end
  return v
end

return run
