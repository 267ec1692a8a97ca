#!/usr/bin/env bash
# shots-index.sh DIR: turns the screenshots in DIR into PNG (BMPs from the
# Windows-side tests) and writes DIR/index.html showing them all, so that a
# person can look over every window of the program at once.
set -euo pipefail
dir=$1
[ -d "$dir" ] || { echo "no screenshots in $dir"; exit 0; }
cd "$dir"
shopt -s nullglob
for bmp in *.bmp; do
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
pngs=(*.png)
{
  echo '<!doctype html><html><head><meta charset="utf-8"><title>Daveridur screenshots</title>'
  echo '<style>body{font-family:sans-serif;background:#eee}figure{display:inline-block;margin:12px;'
  echo 'padding:8px;background:#fff;vertical-align:top}figcaption{font-size:13px;margin-top:4px}</style>'
  echo '</head><body><h1>Daveridur under Wine</h1>'
  echo "<p>${#pngs[@]} screenshots taken by the tests, each window as the program showed it.</p>"
  for png in "${pngs[@]}"; do
    echo "<figure><img src=\"$png\" alt=\"${png%.png}\"><figcaption>${png%.png}</figcaption></figure>"
  done
  echo '</body></html>'
} > index.html
echo "${#pngs[@]} screenshots: $dir/index.html"
