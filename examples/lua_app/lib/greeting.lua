-- "Hello, world!", or a hello to everyone named: "Hello, Ada, Grace and Jūratė!"
local greeting = {}

function greeting.for_names(names)
  if #names == 0 then
    return "Hello, world!"
  end
  local everyone = names[#names]
  if #names > 1 then
    everyone = table.concat(names, ", ", 1, #names - 1) .. " and " .. everyone
  end
  return "Hello, " .. everyone .. "!"
end

return greeting
