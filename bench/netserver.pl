# perl netserver.pl path line.pl: the pre-forking Perl server library with 8
# children on the UNIX socket path, each calling line() from line.pl for
# every connection.  Runs in the foreground until SIGTERM.
use strict;
use warnings;

package BenchServer;
use parent 'Net::Server::PreFork';

sub process_request { main::line(); }

package main;

my ($path, $script) = @ARGV;
die "usage: perl netserver.pl path line.pl\n" unless defined $script;
require $script;
BenchServer->run(
  port => "$path|unix",
  listen => 128,
  min_servers => 8,
  max_servers => 8,
  min_spare_servers => 1,
  max_spare_servers => 7,
  max_requests => 1000000000,
  user => scalar getpwuid($>),
  group => scalar getgrgid($) + 0),
  log_level => 1,
);
