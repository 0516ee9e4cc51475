#!/usr/bin/env bash
# Remakes the sample book's toolbar pictures and logo. Run once by hand when they change; the
# results are committed. Needs ImageMagick (convert) and the test build's make_metafile, which
# writes WMF and EMF files with libuemf.
#   examples/sample-book/make-pictures.sh build/test/tests/make_metafile
set -euo pipefail
metafile=${1:?path to make_metafile}
here=$(cd "$(dirname "$0")" && pwd)
out="$here/system/toolbar/pictures"
mkdir -p "$out"
ink='#2b4c6f'
bmp() { convert -size 24x24 xc:magenta +antialias -fill "$ink" -stroke "$ink" "$@"; }
bmp -draw 'rectangle 4,4 6,20' -draw 'polygon 19,4 8,12 19,20' BMP3:"$out/first.bmp"
bmp -draw 'polygon 17,4 6,12 17,20' BMP3:"$out/prior.bmp"
bmp -draw 'polygon 7,4 18,12 7,20' BMP3:"$out/next.bmp"
bmp -draw 'polygon 5,4 16,12 5,20' -draw 'rectangle 18,4 20,20' BMP3:"$out/last.bmp"
bmp -draw 'polygon 12,4 2,12 12,20' -draw 'polygon 22,4 12,12 22,20' BMP3:"$out/prior-chapter.bmp"
bmp -draw 'polygon 2,4 12,12 2,20' -draw 'polygon 12,4 22,12 12,20' BMP3:"$out/next-chapter.bmp"
# Back and forward on white, made transparent by MaskColor in the toolbar file.
convert -size 24x24 xc:white -fill '#6f2b4c' -draw 'polygon 4,12 12,4 12,9 20,9 20,15 12,15 12,20' BMP3:"$out/back.bmp"
convert -size 24x24 xc:white -fill '#6f2b4c' -draw 'polygon 20,12 12,4 12,9 4,9 4,15 12,15 12,20' BMP3:"$out/forward.bmp"
# Icons carry their own transparency.
convert -size 24x24 xc:none -fill "$ink" -draw 'polygon 12,3 3,12 6,12 6,21 18,21 18,12 21,12' "$out/home.ico"
convert -size 24x24 xc:none -fill none -stroke "$ink" -strokewidth 3 -draw 'arc 4,4 20,20 30,330' \
  -fill "$ink" -stroke none -draw 'polygon 14,2 21,6 14,10' "$out/refresh.ico"
# JPEG pictures on white; the pixel at (0, 0) gives the transparent colour.
convert -size 24x24 xc:white -fill '#cfe3f0' -stroke "$ink" -draw 'rectangle 3,6 15,21' -draw 'rectangle 8,2 20,17' -quality 95 "$out/copy.jpg"
convert -size 24x24 xc:white -fill "$ink" -font DejaVu-Serif-Bold -pointsize 18 -gravity center -annotate 0 'Aa' -quality 95 "$out/fontsize.jpg"
convert -size 24x24 xc:white -fill white -stroke "$ink" -strokewidth 2 -draw 'rectangle 5,2 19,9' -draw 'rectangle 2,9 22,17' \
  -draw 'rectangle 6,14 18,22' -quality 95 "$out/print.jpg"
convert -size 24x24 xc:magenta +antialias -fill "$ink" -draw 'circle 12,12 12,2' -fill white -stroke white -font DejaVu-Serif-Bold -pointsize 16 \
  -gravity center -annotate 0 'i' BMP3:"$out/about.bmp"
bmp -strokewidth 3 -draw 'line 5,5 19,19' -draw 'line 19,5 5,19' BMP3:"$out/exit.bmp"
# Metafiles, drawn by the metafile library: lines and filled shapes.
"$metafile" wmf "$out/bookmarks.wmf" 24
"$metafile" emf "$out/search.emf" 24
# The logo, wider than the logo panel: shown scaled down to 113 pixels.
convert -size 160x48 gradient:'#cfe3f0-#2b4c6f' -rotate 270 -resize 160x48\! -fill white -font DejaVu-Serif-Bold \
  -pointsize 20 -gravity center -annotate 0 'Quirelle' BMP3:"$here/system/Logo.bmp"
# Splash pictures: a greeting while the book opens and a goodbye when it closes.
convert -size 360x200 gradient:'#cfe3f0-#2b4c6f' -fill white -font DejaVu-Serif-Bold -pointsize 28 -gravity center \
  -annotate +0-20 'A Walk by the River' -pointsize 16 -annotate +0+30 'Quirelle sample book' BMP3:"$here/system/SplashS.bmp"
convert -size 340x120 xc:'#2b4c6f' -fill white -font DejaVu-Serif-Bold -pointsize 24 -gravity center \
  -annotate 0 'Thank you for reading' BMP3:"$here/system/SplashE.bmp"
