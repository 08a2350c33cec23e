# Greets the client by its account name: corvane puts the peer's effective
# user id, as the kernel reports it, into IPCREMOTEEUID; getpwuid turns it
# into the name.  The rules choose the salutation.
#   gatemark whoami.cdb whoami.tmp <whoami.rules
#   corvane -L -x whoami.cdb /tmp/whoami.sock whoami.pl greet
use strict;
use warnings;

sub greet {
    my $uid = $ENV{IPCREMOTEEUID};
    my $name;
    $name = getpwuid($uid) if defined $uid && $uid =~ /^\d+\z/;
    $name //= defined $uid ? "user $uid" : 'stranger';
    my $salutation = $ENV{SALUTATION} // 'hello';
    print "$salutation, $name\n";
}

1;
