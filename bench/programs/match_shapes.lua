-- The area of one of three shapes, picked by index, n times: a tag field tested in turn, each
-- branch reading the fields.

local function area(s)
  local tag = s.tag
  if tag == "circle" then
    return 3 * s.r * s.r
  elseif tag == "rect" then
    return s.w * s.h
  elseif tag == "tri" then
    return s.b * s.h // 2
  end
end

local function run(n)
  local shapes = { { tag = "circle", r = 1 }, { tag = "rect", w = 2, h = 3 }, { tag = "tri", b = 4, h = 5 } }
  local acc = 0
  for i = 0, n - 1 do
    acc = acc + area(shapes[i % 3 + 1])
  end
  return acc
end

return run
