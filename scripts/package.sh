#!/usr/bin/env bash
# Builds the release programs and writes build/package/quirelle_VERSION_ARCH.deb: the viewer and
# the packer, their desktop entry, book type, icons, manual pages and AppStream data. Prints the
# package's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" >&2
out="$root/build/package"
build="$out/release"
stage="$out/root"
version=$(sed -n 's/^project(Quirelle VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
arch=$(dpkg --print-architecture)
deb="$out/quirelle_${version}_${arch}.deb"

# Debian's hardening flags, as a package built by dpkg-buildpackage gets them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUIRELLE_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" --target quirelle-viewer quirelle-pack >&2

rm -rf "$stage"
mkdir -p "$stage/DEBIAN"
# The packer copies the installed viewer into every book it makes: both are stripped alike.
for program in "$build/quirelle-viewer" "$build/tools/quirelle-pack"; do
  install -D -m 0755 "$program" "$stage/usr/bin/$(basename "$program")"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$stage/usr/bin/$(basename "$program")"
done
pkg="$root/packaging"
install -D -m 0644 "$pkg/org.quirelle.Viewer.desktop" "$stage/usr/share/applications/org.quirelle.Viewer.desktop"
install -D -m 0644 "$pkg/org.quirelle.Viewer.metainfo.xml" "$stage/usr/share/metainfo/org.quirelle.Viewer.metainfo.xml"
install -D -m 0644 "$pkg/quirelle.xml" "$stage/usr/share/mime/packages/quirelle.xml"
install -D -m 0644 "$pkg/quirelle.svg" "$stage/usr/share/icons/hicolor/scalable/apps/quirelle.svg"
for size in 16 24 32 48 64 128 256; do
  dir="$stage/usr/share/icons/hicolor/${size}x${size}/apps"
  mkdir -p "$dir"
  rsvg-convert -w "$size" -h "$size" "$pkg/quirelle.svg" -o "$dir/quirelle.png"
done
for page in quirelle-viewer.1 quirelle-pack.1; do
  install -D -m 0644 "$pkg/$page" "$stage/usr/share/man/man1/$page"
  gzip -9n "$stage/usr/share/man/man1/$page"
done
install -D -m 0644 "$pkg/copyright" "$stage/usr/share/doc/quirelle/copyright"
# The author's guide where authors are: HTML, which a browser opens and Debian leaves unpacked.
pandoc --standalone --metadata title="Quirelle: the author's guide" --from gfm --to html5 "$root/docs/authoring.md" \
  -o "$stage/usr/share/doc/quirelle/authoring.html"
chmod 0644 "$stage/usr/share/doc/quirelle/authoring.html"
sed "s/@VERSION@/$version/" "$pkg/changelog" | gzip -9n > "$stage/usr/share/doc/quirelle/changelog.gz"
chmod 0644 "$stage/usr/share/doc/quirelle/changelog.gz"

# The dependencies are the libraries the programs link, as dpkg-shlibdeps finds them.
shlibs="$out/shlibdeps"
rm -rf "$shlibs"
mkdir -p "$shlibs/debian"
printf 'Source: quirelle\n\nPackage: quirelle\nArchitecture: any\n' > "$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O "$stage/usr/bin/quirelle-viewer" "$stage/usr/bin/quirelle-pack" | sed -n 's/^shlibs:Depends=//p')
installed=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" -e "s/@SIZE@/$installed/" \
  "$pkg/control" > "$stage/DEBIAN/control"

(cd "$stage" && find usr -type f -exec md5sum {} + | sort -k2 > DEBIAN/md5sums)
chmod 0644 "$stage/DEBIAN/md5sums"
find "$stage" -type d -exec chmod 0755 {} +
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >&2
echo "$deb"
