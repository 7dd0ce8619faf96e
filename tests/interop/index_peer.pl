#!/usr/bin/perl
# Peer side of the index interop test: Perl XBase walks TABLE in the order of
# TAG of the compound index INDEX (key type TYPE: char, num or date) and
# prints the ID field of every live record, one a line. With a fifth
# argument it first rolls to the first key equal to or greater than it.
use strict;
use warnings;
use XBase;

my ($dbf, $cdx, $tag, $type, $find) = @ARGV;
my $table = XBase->new($dbf) or die XBase->errstr;
my $cursor = $table->prepare_select_with_index([$cdx, $tag, $type], 'ID') or die $table->errstr;
$cursor->find_eq($find) if defined $find;
while (my @row = $cursor->fetch) {
  print int($row[0]), "\n";
}
