-- The lines of a table whose columns line up: numbers to the right, text to
-- the left. Widths count characters, not bytes, so text in any script lines up.
local columns = {}

local function width(text)
  return utf8.len(text) or #text
end

local function pad(text, size, to_the_right)
  local padding = (" "):rep(size - width(text))
  return to_the_right and padding .. text or text .. padding
end

function columns.format(header, rows)
  local widths, numeric = {}, {}
  for c, title in ipairs(header) do
    widths[c] = width(title)
    numeric[c] = rows[1] ~= nil and tonumber(rows[1][c]) ~= nil
  end
  for _, row in ipairs(rows) do
    for c, cell in ipairs(row) do
      widths[c] = math.max(widths[c], width(cell))
    end
  end
  local lines = {}
  for r = 0, #rows do
    local cells = {}
    for c, cell in ipairs(r == 0 and header or rows[r]) do
      cells[c] = pad(cell, widths[c], numeric[c])
    end
    lines[#lines + 1] = table.concat(cells, "  "):gsub(" +$", "")
  end
  return lines
end

return columns
