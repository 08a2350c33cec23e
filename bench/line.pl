# The service every benchmarked server runs: one short line to the client.
# Loaded by the servers that keep an interpreter; run as `perl line.pl once`
# by the server that starts a program per connection.
sub line { print "bench ok\n"; }
line() if @ARGV && $ARGV[0] eq 'once';
1;
