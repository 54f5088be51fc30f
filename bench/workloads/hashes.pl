# A script's hash of 400,000 entries, each an array of a number and a string, a third of them
# deleted, the keys sorted, then 200,000 entries of nested hashes and arrays added: the malloc,
# realloc and free traffic of a text-processing script.
my %h;
for my $i (1 .. 400000) { $h{"key$i"} = [$i, "v" x ($i % 50)]; }
for my $i (1 .. 400000) { delete $h{"key$i"} if $i % 3 == 0; }
my $total = 0;
$total += length $_ for sort keys %h;
for my $i (1 .. 200000) { $h{"n$i"} = { x => $i, y => [1 .. ($i % 10)] }; }
print "$total ", scalar(keys %h), "\n";
