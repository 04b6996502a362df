#!/bin/sh
# Builds the .deb from what the build tree holds, unpacks it into a scratch
# root and checks it as a desktop would use it: the files where the menu looks,
# valid menu and software-centre data, and a binary that starts and stays up.
# Exit 77 (skipped) when a tool it needs is missing; `make test` installs them.
set -eu

cpack=$1 build=$2 scratch=$3 version=$4

for tool in "$cpack" dpkg-deb dpkg-shlibdeps file desktop-file-validate appstreamcli lintian; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (make deps installs it)"
        exit 77
    fi
done

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$scratch"
mkdir -p "$scratch"
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
deb=$(ls "$scratch"/out/*.deb)
echo "built $(basename "$deb")"

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = rfswitch-panel ] || fail "package name is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "package version is '$(field Version)', the project's is $version"
depends=$(field Depends)
echo "Depends: $depends"
echo "Recommends: $(field Recommends)"
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6 qt6-qpa-plugins libc6 fonts-liberation2; do
    echo "$depends" | grep -Eq "(^|, )$package( |,|$)" || fail "Depends lacks $package"
done

# Debian's own checks: no error and no warning (informational notes pass).
lintian --fail-on error,warning "$deb" || fail "lintian finds errors or warnings"

root=$scratch/root
dpkg-deb -x "$deb" "$root"

# Where menus, software centres, icon themes, man and Debian's tools look.
for path in usr/bin/rfswitch-panel usr/share/applications/*.desktop usr/share/metainfo/*.metainfo.xml \
            usr/share/doc/rfswitch-panel/copyright usr/share/doc/rfswitch-panel/changelog.gz \
            usr/share/icons/hicolor/16x16/apps/*.png usr/share/icons/hicolor/32x32/apps/*.png \
            usr/share/icons/hicolor/48x48/apps/*.png usr/share/icons/hicolor/256x256/apps/*.png \
            usr/share/icons/hicolor/scalable/apps/*.svg usr/share/man/man1/*.1*; do
    set -- "$root"/$path
    [ -e "$1" ] || fail "missing $path"
done
[ -x "$root/usr/bin/rfswitch-panel" ] || fail "usr/bin/rfswitch-panel is not executable"

for size in 16 32 48 256; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/rfswitch-panel.png
    [ -e "$png" ] || continue
    file -b "$png" | grep -q "PNG image data, $size x $size," || fail "$png is not a ${size}x${size} PNG: $(file -b "$png")"
done

desktop=$(ls "$root"/usr/share/applications/*.desktop | head -n 1)
metainfo=$(ls "$root"/usr/share/metainfo/*.metainfo.xml | head -n 1)
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $(basename "$desktop")"
[ "$(sed -n 's/^Name=//p' "$desktop")" = "RF Switch Panel" ] || fail "the menu names it '$(sed -n 's/^Name=//p' "$desktop")'"
head -n 1 "$root/usr/share/doc/rfswitch-panel/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    || fail "the copyright file is not in the machine-readable format"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects $(basename "$metainfo")"

# The entry must start the installed command and name an installed icon.
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
[ -x "$root/usr/bin/${exec_line%% *}" ] || fail "Exec=$exec_line is not an installed command"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -e "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon has no scalable icon"
grep -q "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" "$metainfo" \
    || fail "the metainfo does not launch $(basename "$desktop")"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"

# Start the unpacked binary headless. It shows its window at once (the
# default address needs no message box) and runs until closed, so one still
# running after 3 s has started. Root gives up its rights first so that the
# run cannot reach a real port.
home=$scratch/home
mkdir -m 700 "$home"
run=
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null 2>&1; then
    # The build tree may sit below a folder only root may enter (a mktemp
    # clone): the unprivileged run gets a copy of its own where it can.
    runroot=$(mktemp -d /tmp/rfswitch-package.XXXXXX)
    trap 'rm -rf "$runroot"' EXIT
    chmod 755 "$runroot"
    cp -a "$root" "$runroot/root"
    root=$runroot/root
    home=$runroot/home
    mkdir -m 700 "$home"
    chmod -R a+rX "$root"
    chown nobody:nogroup "$home"
    run="setpriv --reuid=nobody --regid=nogroup --clear-groups"
fi
log=$scratch/run.log
HOME=$home XDG_RUNTIME_DIR=$home QT_QPA_PLATFORM=offscreen $run "$root/usr/bin/rfswitch-panel" >"$log" 2>&1 &
pid=$!
waited=0
while [ $waited -lt 30 ] && kill -0 $pid 2>/dev/null; do
    sleep 0.1
    waited=$((waited + 1))
done
if kill -0 $pid 2>/dev/null; then
    kill $pid
    wait $pid 2>/dev/null || true
    echo "the installed rfswitch-panel started and kept running"
else
    status=0
    wait $pid || status=$?
    fail "the installed rfswitch-panel ended within 3 s with status $status"
fi
if grep -Ei "plugin|cannot load|could not (load|find)|fatal" "$log"; then
    fail "the installed rfswitch-panel complained on start"
fi

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
rm -rf "$scratch"
echo "package checks passed"
