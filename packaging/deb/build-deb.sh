#!/usr/bin/env bash
# Builds the Debian package with dpkg-deb from the connector of a build tree.
# Usage: build-deb.sh EXECUTABLE UNIT_TOOL VERSION ARCH LEIAME STAGING OUTPUT
set -euo pipefail
exe=$1 unit_tool=$2 version=$3 arch=$4 leiame=$5 root=$6 out=$7
here=$(cd "$(dirname "$0")" && pwd)
pkg=tolvenar-connector
opt=opt/$pkg
doc=usr/share/doc/$pkg

rm -rf "$root"
mkdir -p "$root/DEBIAN" "$root/$opt" "$root/lib/systemd/system" "$root/$doc" \
  "$root/usr/share/lintian/overrides"

install -m 0755 "$exe" "$root/$opt/TolvenarConnector"
strip --strip-unneeded --remove-section=.comment --remove-section=.note \
  "$root/$opt/TolvenarConnector"
# The unit that "-install" would write for this path.
"$unit_tool" "/$opt/TolvenarConnector" >"$root/lib/systemd/system/TolvenarConnector.service"
# The operator's guide, the package's one document (the developers' README
# stays with the sources); "-check" names this path when it finds a failure.
install -m 0644 "$leiame" "$root/$doc/LEIAME.txt"
install -m 0644 "$here/copyright" "$root/$doc/copyright"
sed "s/@VERSION@/$version/" "$here/changelog" | gzip -9n >"$root/$doc/changelog.gz"
install -m 0644 "$here/lintian-overrides" "$root/usr/share/lintian/overrides/$pkg"
for script in postinst prerm postrm; do
  install -m 0755 "$here/$script" "$root/DEBIAN/$script"
done
# Whatever the umask of the build: directories 0755, files 0644 but the
# executable and the maintainer scripts.
find "$root" -type d -exec chmod 0755 {} +
chmod 0644 "$root/lib/systemd/system/TolvenarConnector.service"

# Depends: the packages of the libraries the executable links, no more.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$pkg" "$pkg" >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "$root/$opt/TolvenarConnector" |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependency" >&2; exit 1; }

size=$(du -k -s --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
  -e "s/@DEPENDS@/$depends/" "$here/control.in" >"$root/DEBIAN/control"
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
  xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

dpkg-deb --root-owner-group -Zxz --build "$root" "$out.tmp" >/dev/null
mv "$out.tmp" "$out"
