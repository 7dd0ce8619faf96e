#!/usr/bin/perl
# Peer side of the field and memo interop tests: Perl XBase reads FILE and
# prints one line per live record, tab-separated, in the form fields_peer.py
# prints: REC name amount born flag notes (notes escaped: \\ \t \r \n).
use strict;
use warnings;
use XBase;

my $table = XBase->new(shift) or die XBase->errstr;
for my $i (0 .. $table->last_record) {
  my ($deleted, $name, $amount, $born, $flag, $notes) = $table->get_record($i, qw(NAME AMOUNT BORN FLAG NOTES));
  die $table->errstr unless defined $deleted;
  next if $deleted;
  $name = '' unless defined $name;
  $name =~ s/\s+$//;
  $born = (defined $born && $born =~ /^(\d{4})(\d\d)(\d\d)$/) ? "$1-$2-$3" : '';
  $notes = '' unless defined $notes;
  $notes =~ s/\\/\\\\/g;
  $notes =~ s/\t/\\t/g;
  $notes =~ s/\r/\\r/g;
  $notes =~ s/\n/\\n/g;
  print join("\t", 'REC', $name, defined $amount ? sprintf('%.2f', $amount) : '', $born, $flag ? 'T' : 'F', $notes),
    "\n";
}
