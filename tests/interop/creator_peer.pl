#!/usr/bin/perl
# Peer side of the creator interop tests, through Perl XBase.
#
#   creator_peer.pl table FILE
#     prints what creator_peer.py prints (FIELD lines, then one REC line per
#     live record), text decoded from the OEM code page 437
#   creator_peer.pl index FILE CDX TAG FIELD...
#     walks FILE in the order of TAG of the compound index CDX (character
#     keys) and prints the named fields of every live record, tab-separated
use strict;
use warnings;
use Encode qw(decode encode);
use XBase;

binmode STDOUT;
my $mode = shift;
my $table = XBase->new(shift) or die XBase->errstr;
my $utf8 = sub { encode('UTF-8', decode('cp437', $_[0])) };

if ($mode eq 'index') {
  require XBase::Index;
  my ($cdx, $tag, @fields) = @ARGV;
  my $cursor = $table->prepare_select_with_index([$cdx, $tag, 'char'], @fields) or die $table->errstr;
  while (my @row = $cursor->fetch) {
    s/\s+$// for @row;
    print join("\t", map { $utf8->($_) } @row), "\n";
  }
  exit 0;
}

my @names = $table->field_names;
my @types = $table->field_types;
my @lengths = $table->field_lengths;
my @decimals = $table->field_decimals;
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
    $v = '' unless defined $v;
    if ($t eq 'C') {
      $v =~ s/\s+$//;
      push @out, $utf8->($v);
    } elsif ($t eq 'N' || $t eq 'F') {
      push @out, $v ne '' ? sprintf('%.*f', $decimals[$i], $v) : '';
    } elsif ($t eq 'D') {
      push @out, $v =~ /^(\d{4})(\d\d)(\d\d)$/ ? "$1-$2-$3" : '';
    } elsif ($t eq 'L') {
      push @out, $v eq '' ? '?' : $v ? 'T' : 'F';
    } elsif ($t eq 'M') {
      $v =~ s/\\/\\\\/g;
      $v =~ s/\t/\\t/g;
      $v =~ s/\r/\\r/g;
      $v =~ s/\n/\\n/g;
      push @out, $utf8->($v);
    } else {
      push @out, unpack('H*', $v);
    }
  }
  print join("\t", @out), "\n";
}
