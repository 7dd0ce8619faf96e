#!/usr/bin/perl
# Peer side of the NDX/NTX/MDX interop test: Perl XBase walks TABLE in the
# order of index INDEX (key type TYPE: char or num; for an MDX file the tag
# TAG) and prints the record number of every record (counted from 1), one a
# line.
use strict;
use warnings;
use XBase;

my ($dbf, $index, $type, $tag) = @ARGV;
my $table = XBase->new($dbf) or die XBase->errstr;
my $cursor = $table->prepare_select_with_index([$index, $tag, $type], 'NAME') or die $table->errstr;
while (my @row = $cursor->fetch) {
  print $cursor->last_fetched + 1, "\n";  # counted from 0
}
