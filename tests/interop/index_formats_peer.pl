#!/usr/bin/perl
# Peer side of the NDX/NTX interop test: Perl XBase walks TABLE in the order
# of the single-tag index INDEX (key type TYPE: char or num) and prints the
# record number of every record (counted from 1), one a line.
use strict;
use warnings;
use XBase;

my ($dbf, $index, $type) = @ARGV;
my $table = XBase->new($dbf) or die XBase->errstr;
my $cursor = $table->prepare_select_with_index([$index, undef, $type], 'NAME') or die $table->errstr;
while (my @row = $cursor->fetch) {
  print $cursor->last_fetched + 1, "\n";  # counted from 0
}
