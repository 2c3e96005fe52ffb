-- A module packed beside lua.exe, found through lua.exe's own folder
-- (package.path holds "!\lua\?.lua", "!" being the interpreter's folder).
local greeting = {}

function greeting.hello(name)
  return "Hello, " .. name .. "!"
end

return greeting
