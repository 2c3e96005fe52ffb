-- The example application: greets whoever its arguments name, tells how long
-- sunlight takes to reach each planet, and ends with the status that
-- "--exit N" asks for (0 without it).
local greeting = require "lib.greeting"
local columns = require "lib.text.columns"

local LIGHT_MINUTES_PER_AU = 8.317

local function read_planets(path)
  local file = assert(io.open(path))
  file:read("l") -- the header
  local planets = {}
  for line in file:lines() do
    local name, distance, radius = line:match("^([^,]+),([^,]+),([^,]+)$")
    planets[#planets + 1] = {name = name, distance_au = tonumber(distance),
                             radius_km = tonumber(radius)}
  end
  file:close()
  return planets
end

local function read_arguments(arguments)
  local names, exit_status = {}, 0
  local i = 1
  while i <= #arguments do
    if arguments[i] == "--exit" then
      exit_status = math.tointeger(tonumber(arguments[i + 1]))
      if not exit_status then
        error(("--exit wants an integer, not '%s'"):format(arguments[i + 1] or ""))
      end
      i = i + 2
    else
      names[#names + 1] = arguments[i]
      i = i + 1
    end
  end
  return names, exit_status
end

local planets = read_planets(onefile.directory .. "\\data\\planets.csv")
local names, exit_status = read_arguments(arg)
onefile.end_splash()

local earth
for _, planet in ipairs(planets) do
  if planet.name == "Earth" then earth = planet end
end
local rows = {}
for _, planet in ipairs(planets) do
  rows[#rows + 1] = {planet.name,
                     ("%.1f"):format(planet.distance_au * LIGHT_MINUTES_PER_AU),
                     ("%.2f"):format(planet.radius_km / earth.radius_km)}
end

print(greeting.for_names(names))
print("Unpacked to " .. onefile.directory)
print()
for _, line in ipairs(columns.format({"Planet", "Sunlight (min)", "Radius (Earth = 1)"}, rows)) do
  print(line)
end
return exit_status
