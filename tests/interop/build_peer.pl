#!/usr/bin/perl
# Peer side of the builder interop tests: Perl XBase reads FILE and prints what
# build_peer.py prints (FIELD lines, then one REC line per live record), with
# text decoded from CP1252.
use strict;
use warnings;
use Encode qw(decode encode);
use XBase;

binmode STDOUT;
my $table = XBase->new(shift) or die XBase->errstr;
my @names = $table->field_names;
my @types = $table->field_types;
my @lengths = $table->field_lengths;
my @decimals = $table->field_decimals;
my $utf8 = sub { encode('UTF-8', decode('cp1252', $_[0])) };
for my $i (0 .. $#names) {
  print "FIELD $names[$i] $types[$i] $lengths[$i] $decimals[$i]\n";
}
for my $r (0 .. $table->last_record) {
  my ($deleted, @values) = $table->get_record($r);
  die $table->errstr unless defined $deleted;
  next if $deleted;
  my @out = ('REC');
  for my $i (0 .. $#names) {
    my ($t, $v) = ($types[$i], $values[$i]);
    if ($t eq 'C') {
      $v = '' unless defined $v;
      $v =~ s/\s+$//;
      push @out, $utf8->($v);
    } elsif ($t eq 'N' || $t eq 'F') {
      push @out, defined $v && $v ne '' ? sprintf('%.*f', $decimals[$i], $v) : '';
    } elsif ($t eq 'D') {
      push @out, (defined $v && $v =~ /^(\d{4})(\d\d)(\d\d)$/) ? "$1-$2-$3" : '';
    } elsif ($t eq 'L') {
      push @out, !defined $v ? '?' : $v ? 'T' : 'F';
    } else {
      $v = '' unless defined $v;
      $v =~ s/\\/\\\\/g;
      $v =~ s/\t/\\t/g;
      $v =~ s/\r/\\r/g;
      $v =~ s/\n/\\n/g;
      push @out, $utf8->($v);
    }
  }
  print join("\t", @out), "\n";
}
