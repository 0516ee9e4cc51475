#!/usr/bin/env bash
# The Debian package, built from this tree and looked at as a desktop and a reader would: its
# contents, the desktop entry and AppStream data validated, lintian without errors, the book
# type known to a MIME database built from it, and the installed programs making and opening
# books. Installed into a scratch root only: the machine running the test is not changed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
deb=$("$root/scripts/package.sh" | tail -1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/quirelle-viewer ./usr/bin/quirelle-pack \
    ./usr/share/applications/org.quirelle.Viewer.desktop ./usr/share/metainfo/org.quirelle.Viewer.metainfo.xml \
    ./usr/share/mime/packages/quirelle.xml ./usr/share/icons/hicolor/scalable/apps/quirelle.svg \
    ./usr/share/icons/hicolor/48x48/apps/quirelle.png ./usr/share/man/man1/quirelle-viewer.1.gz \
    ./usr/share/man/man1/quirelle-pack.1.gz ./usr/share/doc/quirelle/copyright ./usr/share/doc/quirelle/authoring.html; do
  grep -qx "$path" <<<"$listing" || fail "the package lacks $path"
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6webenginecore6 libmspack0 libc6; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done

stage="$work/root"
dpkg-deb -x "$deb" "$stage"
desktop-file-validate "$stage/usr/share/applications/org.quirelle.Viewer.desktop"
appstreamcli validate --no-net "$stage/usr/share/metainfo/org.quirelle.Viewer.metainfo.xml" >/dev/null
# lintian refuses to run as root unless told; errors fail, warnings are shown.
lintian_out=$(lintian --allow-root --tag-display-limit 0 "$deb" 2>&1 || true)
echo "$lintian_out"
! grep -q '^E:' <<<"$lintian_out" || fail "lintian reports errors"

# A MIME database of the scratch root: a book document is the book type by its first bytes
# (whatever its name), and the type opens in the viewer; Windows executables offer it.
update-mime-database "$stage/usr/share/mime"
update-desktop-database "$stage/usr/share/applications" >/dev/null 2>&1
sample="$root/examples/sample-book"
"$stage/usr/bin/quirelle-pack" --document --system "$sample/system" --content "$sample/content" -o "$work/sample.qbook"
cp "$work/sample.qbook" "$work/renamed.dat"
for file in sample.qbook renamed.dat; do
  type=$(XDG_DATA_DIRS="$stage/usr/share" XDG_DATA_HOME="$work/none" gio info -a standard::content-type "$work/$file" |
         sed -n 's/^ *standard::content-type: //p')
  [ "$type" = application/x-quirelle-book ] || fail "$file is taken for $type"
done
grep -qx 'application/x-quirelle-book=org.quirelle.Viewer.desktop;' "$stage/usr/share/applications/mimeinfo.cache" ||
  fail "the book type does not open in the viewer"
grep -qx 'application/x-ms-dos-executable=org.quirelle.Viewer.desktop;' "$stage/usr/share/applications/mimeinfo.cache" ||
  fail "the viewer is not offered for Windows executables"
grep -qx 'application/epub+zip=org.quirelle.Viewer.desktop;' "$stage/usr/share/applications/mimeinfo.cache" ||
  fail "the viewer is not offered for EPUBs"

# The installed programs: the viewer opens the document, and a book packed by the installed
# packer (into the installed viewer beside it) runs on its own.
export QTWEBENGINE_DISABLE_SANDBOX=1 QUIRELLE_CHECK=1
unset ASAN_OPTIONS UBSAN_OPTIONS
"$stage/usr/bin/quirelle-pack" --system "$sample/system" --content "$sample/content" -o "$work/sample-book"
for command in "$stage/usr/bin/quirelle-viewer $work/sample.qbook" "$work/sample-book" \
               "$stage/usr/bin/quirelle-viewer --system $sample/system --content $sample/content"; do
  out=$(xvfb-run -a $command 2>/dev/null) || fail "$command: $out"
  grep -qx 'caption=A Walk by the River - sample edition, 2026' <<<"$out" || fail "$command shows: $out"
  grep -qx 'page=\\pages\\intro.htm' <<<"$out" || fail "$command shows: $out"
done
# An author's first command points at the guide the package installed.
"$stage/usr/bin/quirelle-pack" --new "$work/new" --content "$sample/content" > "$work/new.out" || fail "--new: $(cat "$work/new.out")"
grep -q "author's guide: $stage/usr/share/doc/quirelle/authoring.html" "$work/new.out" || fail "--new names no guide: $(cat "$work/new.out")"
grep -q "<h2 id=\"system.xml" "$stage/usr/share/doc/quirelle/authoring.html" || grep -qi "System.xml" "$stage/usr/share/doc/quirelle/authoring.html" ||
  fail "the guide is empty"
echo "package $deb: contents, validation, MIME database and installed programs as expected"
