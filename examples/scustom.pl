#!/usr/bin/perl
# scustom.pl - the wrapper through which the agent runs a program action.
#
# The agent starts it in the program's working directory as
#
#     perl scustom.pl "<command>"
#
# and exports the event's data, the profile and the resource model in the
# environment. The script runs the command through /bin/sh -c and passes its
# standard output, standard error and exit code through unchanged; a command
# ended by a signal exits with 128 plus the signal number, as a shell reports
# it. Standard input is passed on as well.
#
# The agent does not escape the command: a double quote inside it splits it
# into several arguments, which are joined again with single blanks here.
#
# Replace this file to put something else between the agent and its programs
# (a different shell, a log of every run, a sandbox). Keep the contract: the
# first line of standard output is the result, the first line of standard
# error is the error, and the exit code decides success.

use strict;
use warnings;

if (!@ARGV) {
    print STDERR "usage: perl scustom.pl \"<command>\"\n";
    exit 2;
}

my $command = join(' ', @ARGV);

# The list form starts /bin/sh directly, so the command is interpreted once,
# by that shell, and never by Perl.
system('/bin/sh', '-c', $command);

if ($? == -1) {
    print STDERR "scustom.pl: cannot run /bin/sh: $!\n";
    exit 127;
}
if ($? & 127) {
    exit 128 + ($? & 127);
}
exit($? >> 8);
