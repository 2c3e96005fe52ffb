-- A command-line tool as an interpreter runs it: the script's own path in
-- arg[0], then the arguments it was given.
print(arg[0])
for i = 1, #arg do print(i, '[' .. arg[i] .. ']') end
