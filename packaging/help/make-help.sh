#!/bin/sh
# Builds the help file Quillmark.chm from the README's user guide: one page
# per "## " section (all but the developers' "Set up" and "For developers"),
# with the pictures they show, a table of contents, compiled by chmcmd.
#
#   make-help.sh README.md WORK_FOLDER OUTPUT.chm
#
# Needs cmark-gfm (Markdown with tables to HTML) and chmcmd (package
# fp-utils). Pictures are looked up relative to the README's folder.
set -eu

readme=$1
work=$2
output=$3
source_root=$(cd "$(dirname "$readme")" && pwd)

for tool in cmark-gfm chmcmd; do
  command -v "$tool" >/dev/null || { echo "make-help.sh: $tool is missing" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work/pages"

# Split the guide into numbered Markdown pages; the text before the first
# section (the introduction) becomes page 00.
awk -v dir="$work/pages" '
  function start(n) { if (out) close(out); out = sprintf("%s/%02d.md", dir, n) }
  BEGIN { page = 0; start(0); skip = 0 }
  /^## / {
    title = substr($0, 4)
    skip = (title == "Set up" || title == "For developers")
    if (!skip) { page++; start(page) }
  }
  /^# / && NR <= 3 { next }
  !skip { print > out }
' "$readme"

escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'; }

pages=
toc_items=
for md in "$work"/pages/*.md; do
  number=$(basename "$md" .md)
  if [ "$number" = 00 ]; then
    title="Quillmark"; file=index.html
  else
    title=$(sed -n '1s/^## //p' "$md"); file="page$number.html"
  fi
  title_html=$(printf '%s' "$title" | escape)
  {
    printf '<!DOCTYPE html>\n<html><head><meta charset="utf-8">\n'
    printf '<title>%s</title>\n' "$title_html"
    printf '<style>body{font-family:sans-serif;max-width:50em;margin:1em}'
    printf 'table{border-collapse:collapse}td,th{border:1px solid #999;padding:3px 6px}'
    printf 'code,pre{background:#eef}img{max-width:100%%}</style>\n</head><body>\n'
    [ "$number" = 00 ] && printf '<h1>Quillmark</h1>\n'
    # CHM viewers read pages in the file's code page, not as UTF-8: every
    # other character goes in as a numeric reference.
    cmark-gfm --unsafe -e table "$md" | perl -CS -pe 's/([^\x00-\x7f])/sprintf("&#%d;", ord($1))/ge'

    printf '</body></html>\n'
  } >"$work/$file"
  pages="$pages $file"
  toc_items="$toc_items<LI><OBJECT type=\"text/sitemap\"><param name=\"Name\" value=\"$title_html\"><param name=\"Local\" value=\"$file\"></OBJECT>
"
done

# Every picture a page shows goes into the file, under the same path.
pictures=$(cat "$work"/*.html | grep -o '<img src="[^"]*"' | sed 's/<img src="//; s/"$//' | sort -u)
for picture in $pictures; do
  mkdir -p "$work/$(dirname "$picture")"
  cp "$source_root/$picture" "$work/$picture"
done

{
  printf '<!DOCTYPE HTML PUBLIC "-//IETF//DTD HTML//EN">\n<HTML><BODY>\n'
  printf '<OBJECT type="text/site properties"><param name="Window Styles" value="0x800025"></OBJECT>\n'
  printf '<UL>\n%s</UL>\n</BODY></HTML>\n' "$toc_items"
} >"$work/toc.hhc"

{
  printf '[OPTIONS]\nCompatibility=1.1 or later\nCompiled file=Quillmark.chm\n'
  printf 'Contents file=toc.hhc\nDefault topic=index.html\nDisplay compile progress=No\n'
  printf 'Language=0x409 English (United States)\nTitle=Quillmark Help\n\n[FILES]\n'
  for file in $pages $pictures; do printf '%s\n' "$file"; done
} >"$work/Quillmark.hhp"

(cd "$work" && chmcmd --no-html-scan Quillmark.hhp >chmcmd.log 2>&1) || {
  cat "$work/chmcmd.log" >&2; exit 1; }
[ -s "$work/Quillmark.chm" ] || { echo "make-help.sh: chmcmd made no file" >&2; exit 1; }
cp "$work/Quillmark.chm" "$output"
