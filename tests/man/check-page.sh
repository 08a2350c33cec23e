#!/bin/sh
# check-page.sh PAGE [OPTSTRING [SOURCE]]
#
# Checks one manual page of section 1 or 8 (the daemons):
#  - groff formats it, for the terminal and for print, without one warning
#    (all warning categories on);
#  - its title line names the page's own file and section, and its NAME
#    line reads "name \- summary";
#  - it has the sections every page of the suite carries;
#  - each option letter of OPTSTRING (getopt style: a letter followed by ':'
#    takes an argument) is an item of its OPTIONS section, written as -L, or
#    as -L followed by the argument's name for a letter that takes one;
#  - with SOURCE, the option string that the program's source hands to its
#    option scanner is OPTSTRING, so that the page follows the program.
# Prints one line per fault and exits 1 if there is any, else exits 0.

page=$1
optstring=$2
source=$3
[ -n "$page" ] || { echo "usage: check-page.sh page [optstring]" >&2; exit 2; }
[ -r "$page" ] || { echo "$page: cannot read" >&2; exit 1; }

faults=0
fault() {
  echo "$page: $*"
  faults=$((faults + 1))
}

tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT

# Warnings: groff exits 0 even when it warns, so its error output is judged.
for device in utf8 ps; do
  groff -man -T"$device" -ww -z "$page" 2>"$tmp/warnings"
  status=$?
  [ "$status" -eq 0 ] || fault "groff -T$device exited $status"
  if [ -s "$tmp/warnings" ]; then
    while IFS= read -r line; do fault "groff -T$device: $line"; done <"$tmp/warnings"
  fi
done

# The page as plain text, without bold, underline or overstriking.
groff -man -Tascii -P-cbou "$page" >"$tmp/text" 2>/dev/null

name=$(basename "$page")
title=${name%.[18]}
section=${name##*.}
[ "$title.$section" = "$name" ] || fault "file name does not end in .1 or .8"
upper=$(printf '%s' "$title" | tr '[:lower:]' '[:upper:]')
grep -q "^\.TH $upper $section " "$page" || fault "no title line .TH $upper $section"
sed -n '/^NAME$/,/^[A-Z]/p' "$tmp/text" | grep -Eq "^ *$title +- +[^ ]" \
  || fault "NAME does not read \"$title - summary\""

for section in NAME SYNOPSIS DESCRIPTION ENVIRONMENT "EXIT STATUS" EXAMPLES "SEE ALSO"; do
  grep -qx "$section" "$tmp/text" || fault "no section $section"
done

# Option items: the tag lines of the OPTIONS section.
sed -n '/^OPTIONS$/,/^[A-Z]/p' "$tmp/text" >"$tmp/options"
if [ -n "$optstring" ]; then
  grep -qx OPTIONS "$tmp/text" || fault "no section OPTIONS"
  rest=$optstring
  while [ -n "$rest" ]; do
    letter=$(printf '%s' "$rest" | cut -c1)
    rest=$(printf '%s' "$rest" | cut -c2-)
    case $rest in
      :*) rest=$(printf '%s' "$rest" | cut -c2-)
          grep -Eq -- "^ +-$letter +[a-z]" "$tmp/options" \
            || fault "option -$letter with its argument is not an item of OPTIONS" ;;
      *)  grep -Eq -- "^ +-$letter( |\$)" "$tmp/options" \
            || fault "option -$letter is not an item of OPTIONS" ;;
    esac
  done
fi

if [ -n "$source" ]; then
  scanned=$(sed -n 's/.*sgetoptmine([^"]*"\([^"]*\)").*/\1/p' "$source" | head -n 1)
  [ "$scanned" = "$optstring" ] \
    || fault "options \"$optstring\" checked, but $source scans \"$scanned\""
fi

[ "$faults" -eq 0 ] || exit 1
exit 0
