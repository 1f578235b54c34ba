#!/bin/sh
# encode_text.sh INPUT OUTPUT
# A UTF-8 text becomes the form the plug-in's text resources take: UTF-16LE
# with a byte-order mark, gzip-compressed. Line breaks at the end of the file
# are not part of the text (editors and configure_file add them). -n keeps
# names and times out of the gzip header so that the bytes depend on the
# text alone.
set -e
input=$1
output=$2
text=$(cat "$input")
{ printf '\377\376'; printf '%s' "$text" | iconv -f UTF-8 -t UTF-16LE; } > "$output.utf16"
gzip -9 -n -c "$output.utf16" > "$output.tmp"
rm -f "$output.utf16"
mv "$output.tmp" "$output"
