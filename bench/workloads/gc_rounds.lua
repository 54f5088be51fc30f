-- An interpreter's collector at work: rounds of building a table of 200,000 small records (a
-- table, a string, a nested table each), dropping a third and then the rest, with a full
-- collection between, and at the end a sort of 300,000 strings. Every object is a malloc, and
-- the collector frees them in sweeps of a hundred thousand at a time.
local t = {}
for round = 1, 6 do
  for i = 1, 200000 do t[i] = { i, tostring(i) .. "x", { a = i } } end
  for i = 1, 200000, 3 do t[i] = nil end
  collectgarbage()
  for i = 1, 200000 do t[i] = nil end
end
local words = {}
for i = 1, 300000 do words[#words + 1] = string.rep("w", i % 17) .. i end
table.sort(words)
print(#words, words[1], words[#words])
