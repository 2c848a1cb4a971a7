-- Errors caught: each iteration raises an error inside pcall, whose failure counts 1; run(n)
-- counts n catches. (Integer division by zero is an error in Lua 5.4.)

local function divide(i)
  return i // 0
end

local function run(n)
  local caught = 0
  for i = 0, n - 1 do
    local ok = pcall(divide, i)
    if not ok then caught = caught + 1 end
  end
  return caught
end

return run
