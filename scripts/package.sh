#!/usr/bin/env bash
# package.sh [PROGRAM] - builds dist/pop2smtp_<version>_<arch>.deb for Debian 12 and checks it
# with lintian (errors fail the script, warnings are printed).
#
# Without PROGRAM the relay is built for Release with Debian's hardening flags in
# build-package/; with it, that already built pop2smtp is packaged (the system test does so).
# The package holds /usr/bin/pop2smtp, the template unit pop2smtp@.service (one relay per
# mailbox, see packaging/), /etc/pop2smtp/example.ini and the maintainer scripts of
# packaging/debian/. `cmake --install` (the /opt layout) is not used here.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh package

if [ $# -gt 0 ]; then
    program=$(realpath "$1")
else
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
        LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
        cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build build-package -j"$(nproc)" --target pop2smtp
    program=$PWD/build-package/pop2smtp
fi

# The program's own version text, as a Debian revision 1 of it.
upstream=$(sed -n 's/.*kVersion = "\([^"]*\)".*/\1/p' src/relay/main_object.h)
[ -n "$upstream" ] || { echo "package.sh: no version in src/relay/main_object.h" >&2; exit 1; }
version="$upstream-1"
arch=$(dpkg --print-architecture)
deb="dist/pop2smtp_${version}_${arch}.deb"
# Dates from the last commit, so that the same sources give the same package.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/pop2smtp
doc=$stage/usr/share/doc/pop2smtp
install -d -m 0755 "$stage/DEBIAN" "$stage/usr/bin" "$stage/lib/systemd/system" "$stage/etc/pop2smtp" "$doc"
strip --strip-unneeded --remove-section=.comment --remove-section=.note -o "$stage/usr/bin/pop2smtp" "$program"
chmod 0755 "$stage/usr/bin/pop2smtp"
install -m 0644 packaging/pop2smtp@.service "$stage/lib/systemd/system/"
install -m 0644 packaging/TarvixPOP2SMTP.ini.example "$stage/etc/pop2smtp/example.ini"
install -m 0644 packaging/debian/copyright "$doc/copyright"
sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$(LC_ALL=C date -R -u -d "@$epoch")/" packaging/debian/changelog |
    gzip -9n >"$doc/changelog.Debian.gz"
gzip -9n <README.md >"$doc/README.md.gz"
chmod 0644 "$doc"/*.gz
install -m 0755 packaging/debian/postinst packaging/debian/prerm packaging/debian/postrm "$stage/DEBIAN/"
echo /etc/pop2smtp/example.ini >"$stage/DEBIAN/conffiles"
(cd "$stage" && find usr lib -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"

# The shared libraries the program links, as dependencies with their minimal versions.
mkdir -p "$work/debian"
printf 'Source: pop2smtp\n\nPackage: pop2smtp\nArchitecture: any\n' >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O "pop2smtp/usr/bin/pop2smtp" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package.sh: dpkg-shlibdeps found no libraries" >&2; exit 1; }
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
    packaging/debian/control >"$stage/DEBIAN/control"
find "$stage" -exec touch -h -d "@$epoch" {} +

mkdir -p dist
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "built $deb"
lintian --fail-on error "$deb" || { echo "package.sh: lintian found errors" >&2; exit 1; }
