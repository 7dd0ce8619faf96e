#!/usr/bin/perl
# Peer side of the restructure interop test: Perl XBase walks TABLE in the
# order of TAG of the compound index INDEX (key type TYPE: char, num or date)
# and prints FIELD of every record, one a line.
use strict;
use warnings;
use XBase;

my ($dbf, $cdx, $tag, $type, $field) = @ARGV;
my $table = XBase->new($dbf) or die XBase->errstr;
my $cursor = $table->prepare_select_with_index([$cdx, $tag, $type], $field) or die $table->errstr;
while (my @row = $cursor->fetch) {
  my $v = $row[0];
  $v =~ s/\s+$//;
  print "$v\n";
}
