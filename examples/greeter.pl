# Sample service for corvane: greets the peer with what the rules gave it.
# corvane compiles this file once per child and calls `greet` for every
# admitted connection, with the connection on STDIN and STDOUT and its
# environment in %ENV.
use strict;
use warnings;

our $served = 0;

sub greet {
    my ($service) = @_;
    $served++;
    my $line = <STDIN>;
    $line = '' unless defined $line;
    chomp $line;
    my $greeting = $ENV{GREETING} // 'hello';
    print "$greeting from $service: uid $ENV{IPCREMOTEEUID} gid $ENV{IPCREMOTEEGID}",
        " said '$line' (connection $served of child $$)\n";
}

1;
