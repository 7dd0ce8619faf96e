#!/usr/bin/perl
# Peer side of the table comparison: Perl XBase reads FILE and prints JSON
# lines: first {"names":[...],"types":[...]}, then one {"recno":N,"values":[...]}
# per live record (N 1-based). Values are Perl XBase's own, as hex of their
# bytes (it does not decode text), or null for undef.
#
#   tables_peers_read.pl FILE
#   tables_peers_read.pl make DIR   Perl XBase writes dBase III tables into DIR
use strict;
use warnings;
use JSON::PP;
use XBase;

my $json = JSON::PP->new->canonical;

if ($ARGV[0] eq 'make') {
  my $dir = $ARGV[1];
  for my $spec (['perl_plain.dbf', 0], ['perl_memo.dbf', 1]) {
    my ($name, $memo) = @$spec;
    my @names = ('NAME', 'AMOUNT', 'QTY', 'BORN', 'FLAG');
    my @types = ('C', 'N', 'N', 'D', 'L');
    my @lengths = (14, 10, 5, 8, 1);
    my @decimals = (0, 2, 0, 0, 0);
    if ($memo) { push @names, 'NOTES'; push @types, 'M'; push @lengths, 10; push @decimals, 0; }
    unlink "$dir/$name";
    my $t = XBase->create('name' => "$dir/$name", 'field_names' => \@names, 'field_types' => \@types,
      'field_lengths' => \@lengths, 'field_decimals' => \@decimals) or die XBase->errstr;
    my @rows = (
      ['Perl one', 1.25, 7, '20200131', 1, "memo\r\nwith two lines"],
      ['', -0.5, -3, '', 0, ''],
      ['Trailing  ', 123456.78, 0, '19991231', undef, 'x' x 700],
      ['ASCII only', undef, undef, '20000229', 1, undef],
    );
    my $i = 0;
    for my $row (@rows) {
      my @values = @$row;
      pop @values unless $memo;
      $t->set_record($i++, @values) or die $t->errstr;
    }
    $t->delete_record(1);
    $t->close;
    print "MADE $name\n";
  }
  exit 0;
}

my $t = XBase->new($ARGV[0]) or die XBase->errstr;
my @names = $t->field_names;
my @types = $t->field_types;
print $json->encode({names => \@names, types => \@types}), "\n";
for my $i (0 .. $t->last_record) {
  my ($deleted, @values) = $t->get_record($i);
  if (!defined $deleted) {
    my $error = $t->errstr;
    chomp $error;
    print $json->encode({recno => $i + 1, error => $error}), "\n";
    next;
  }
  next if $deleted;
  my @out = map { defined $_ ? unpack('H*', $_) : undef } @values;
  print $json->encode({recno => $i + 1, values => \@out}), "\n";
}
