# Key-value lookup service for corvane: the client sends one line holding a
# key; the service answers "key=value", or "key: not found".  The table is
# a text file named by the subroutine's argument, one "key value" pair a
# line ('#' starts a comment).  Keys that begin with "private." are answered
# only when the rules give the connection LOOKUP_SCOPE=all.
#   gatemark lookup.cdb lookup.tmp <lookup.rules
#   corvane -L -x lookup.cdb /tmp/lookup.sock lookup.pl lookup /path/lookup.data
use strict;
use warnings;

# The table stays loaded in the child between connections; it is read
# again when the file is replaced or changes its size or modification time.
our %table;
our $loaded = '';

sub load {
    my ($file) = @_;
    my @st = stat $file or return 0;
    my $stamp = "$file $st[1] $st[7] $st[9]";    # inode, size, mtime
    return 1 if $loaded eq $stamp;
    open my $in, '<', $file or return 0;
    my %fresh;
    while (my $line = <$in>) {
        next if $line =~ /^\s*(#|$)/;
        my ($key, $value) = $line =~ /^(\S+)\s+(.*?)\s*$/ or next;
        $fresh{$key} = $value;
    }
    close $in;
    %table = %fresh;
    $loaded = $stamp;
    return 1;
}

sub lookup {
    my ($file) = @_;
    unless (defined $file && load($file)) {
        # the reason goes to the server's log, not to the client
        warn "lookup: unable to read the table ", $file // '(none given)', ": $!\n";
        print "error: table not available\n";
        return;
    }
    my $key = <STDIN>;
    return unless defined $key;
    $key =~ s/\r?\n\z//;
    my $scope = $ENV{LOOKUP_SCOPE} // 'public';
    my $visible = $scope eq 'all' || index($key, 'private.') != 0;
    if ($visible && exists $table{$key}) {
        print "$key=$table{$key}\n";
    } else {
        print "$key: not found\n";
    }
}

1;
