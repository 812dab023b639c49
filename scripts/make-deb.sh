#!/usr/bin/env bash
# Builds the Debian package of a configured and built engine (the `deb` target of the CMake
# build, which `make deb` runs): orvane_<version>_<architecture>.deb in the build folder.
#
#   scripts/make-deb.sh BUILD_DIR VERSION PACKAGING_DIR [FATHOM_SOURCE]
#
# The files come from the build's own install rules into a staging folder with the prefix
# /usr (configure with -DORVANE_INSTALL_BINDIR=games for /usr/games, as Debian's engines are
# installed): the engine, stripped; its manual page, compressed; the copyright file. The
# dependencies are the shared libraries the engine links, as dpkg-shlibdeps names them: libc6,
# libstdc++6 and libgcc-s1, which every Debian system has, when the build compiled Fathom in
# (FATHOM_SOURCE, the folder of its tbprobe.c: then Fathom's copyright, from Debian's source
# package, joins the copyright file), and libfathom1 besides when it links Debian's library.
set -euo pipefail
build=$(cd "${1:?usage: make-deb.sh BUILD_DIR VERSION PACKAGING_DIR}" && pwd)
version=${2:?version}
packaging=$(cd "${3:?packaging folder}" && pwd)
fathom_source=${4:-}
maintainer=${DEB_MAINTAINER:-The Orvane authors <orvane-authors@users.noreply.localhost>}
arch=$(dpkg --print-architecture)
stage="$build/deb-root"
deb="$build/orvane_${version}_${arch}.deb"

rm -rf "$stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
engine=$(find "$stage/usr" -type f -name orvane -perm -u+x | head -n 1)
[ -n "$engine" ] || { echo "make-deb.sh: the install put no engine under $stage/usr" >&2; exit 1; }
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$engine"
find "$stage/usr/share/man" -type f -name '*.6' -exec gzip -9n {} +
install -D -m 644 "$packaging/copyright" "$stage/usr/share/doc/orvane/copyright"
commit=$(git -C "$packaging" rev-parse --short HEAD 2>/dev/null || echo unknown)
{
    printf 'orvane (%s) unstable; urgency=medium\n\n' "$version"
    printf '  * Built from commit %s.\n\n' "$commit"
    printf ' -- %s  %s\n' "$maintainer" "$(date -R ${SOURCE_DATE_EPOCH:+-d @$SOURCE_DATE_EPOCH})"
} | gzip -9n >"$stage/usr/share/doc/orvane/changelog.gz"
if [ -n "$fathom_source" ]; then
    # The upstream stanza of Debian's copyright file for Fathom, with its licence text.
    fathom_copyright="$fathom_source/../debian/copyright"
    [ -f "$fathom_copyright" ] || { echo "make-deb.sh: no $fathom_copyright" >&2; exit 1; }
    {
        echo
        sed -n '/^Files: \*$/,/^$/p' "$fathom_copyright" | sed -e '/^$/d' \
            -e 's/^Files: \*$/Files: fathom\/*\nComment: Fathom, the Syzygy probing library, compiled into the engine/'
    } >>"$stage/usr/share/doc/orvane/copyright"
fi

# dpkg-shlibdeps reads the source package's name from debian/control.
shlibs=$(mktemp -d)
trap 'rm -rf "$shlibs"' EXIT
mkdir "$shlibs/debian"
printf 'Source: orvane\n\nPackage: orvane\nArchitecture: any\n' >"$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O -e"$engine" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "make-deb.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
mkdir -p "$stage/DEBIAN"
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@INSTALLED_SIZE@/$size/" \
    -e "s/@DEPENDS@/$depends/" -e "s|@MAINTAINER@|$maintainer|" "$packaging/control.in" \
    >"$stage/DEBIAN/control"
chmod -R u+rwX,go+rX,go-w "$stage"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
