# Echo service for corvane: sends every line of the client back, after the
# prefix that the connection rules give it in ECHO_PREFIX, until the end of
# the client's input or an empty line (so a client that cannot half-close
# its connection ends the session with an empty line).
#   gatemark echo.cdb echo.tmp <echo.rules
#   corvane -L -x echo.cdb /tmp/echo.sock echo.pl echo
use strict;
use warnings;

# Each line goes back at once, for a client that waits for the answer
# before sending more.  STDOUT stays the same handle for every connection
# of a child, so this holds for all of them.
$| = 1;

sub echo {
    my $prefix = $ENV{ECHO_PREFIX} // '';
    while (my $line = <STDIN>) {
        last if $line =~ /^\r?\n\z/;
        print $prefix, $line;
    }
}

1;
