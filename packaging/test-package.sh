#!/bin/sh
# Builds the .deb from what the build tree holds, installs it into an empty
# root and checks it as a desktop would use it: Debian's own checks, the menu
# entry with its icons and software-centre data, a binary that starts and
# stays up, and a confined service that removal and purge take away whole.
# Exit 77 (skipped) when a tool it needs is missing; `make test` installs them.
set -eu
cpack=$1 build=$2 scratch=$3 version=$4
for tool in "$cpack" dpkg dpkg-deb dpkg-shlibdeps file desktop-file-validate appstreamcli lintian \
            systemctl systemd-analyze deb-systemd-helper; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed (make test-deps installs it)"; exit 77; }
done
# dpkg installs as root; anyone else does so as root of a user namespace.
as_root=
[ "$(id -u)" = 0 ] || as_root="unshare --map-root-user"
$as_root true 2>/dev/null || { echo "SKIP: not root, and no user namespace to install the package in"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$scratch" && mkdir -p "$scratch"
"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; echo "FAIL: cpack could not build the package"; exit 1; }
deb=$(ls "$scratch"/out/*.deb)
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "package version is not the project's $version"
depends=$(dpkg-deb --field "$deb" Depends)
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6 qt6-qpa-plugins libc6 fonts-liberation2; do
    echo "$depends" | grep -Eq "(^|, )$package( |,|$)" || fail "Depends lacks $package: $depends"
done
# The daemons through which VXI-11 clients and LAN tools find the service.
recommends=$(dpkg-deb --field "$deb" Recommends)
for package in rpcbind avahi-daemon; do
    echo "$recommends" | grep -Eq "(^|, )$package( |,|$)" || fail "Recommends lacks $package: $recommends"
done
# No error and no warning (informational notes pass): this also finds a
# missing or misplaced copyright, changelog or man page, and a menu entry
# whose command is not in the package.
lintian --fail-on error,warning "$deb" || fail "lintian finds errors or warnings"

# Unpacked where the unprivileged run below can reach it, wherever the build tree lies.
tmp=$(mktemp -d /tmp/rfswitch-package.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
chmod 755 "$tmp"
# dpkg runs the maintainer scripts for real on that root (deb-systemd-helper
# follows DPKG_ROOT there); the root has the folders a system with systemd has.
root=$tmp/root share=$tmp/root/usr/share
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc/systemd/system" "$root/var/lib/systemd"
touch "$root/var/lib/dpkg/status"
# and the user and group files (with their backups), and the group that may
# use the ports.
touch "$root/etc/passwd" "$root/etc/shadow" "$root/etc/gshadow" "$root/etc/passwd-" "$root/etc/shadow-" "$root/etc/group-" "$root/etc/gshadow-" "$root/etc/.pwd.lock"
echo "lp:x:7:" >"$root/etc/group"
listing() { find "$root" -path "$root/var/lib/dpkg" -prune -o -print | sort; }
listing >"$scratch/before"
dpkg="$as_root dpkg --root=$root --force-script-chrootless --force-depends"
$dpkg --install "$deb" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; echo "FAIL: dpkg could not install the package"; exit 1; }

for size in 16 32 48 256; do
    file -b "$share/icons/hicolor/${size}x${size}/apps/rfswitch-panel.png" | grep -q "PNG image data, $size x $size," ||
        fail "no ${size}x${size} PNG icon"
done
desktop=$share/applications/rfswitch-panel.desktop metainfo=$share/metainfo/org.example.rfswitch_panel.metainfo.xml
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the menu entry"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the software-centre data"
[ "$(sed -n 's/^Name=//p' "$desktop")" = "RF Switch Panel" ] || fail "the menu does not name it RF Switch Panel"
# The entry names an installed icon (lintian checks its command); the
# software centre launches that entry and knows this release.
[ -e "$share/icons/hicolor/scalable/apps/$(sed -n 's/^Icon=//p' "$desktop").svg" ] || fail "the menu's icon has no scalable form"
grep -q '<launchable type="desktop-id">rfswitch-panel.desktop</launchable>' "$metainfo" || fail "the metainfo does not launch the entry"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"
# The changelog says what this version added, first.
zcat "$share/doc/rfswitch-panel/changelog.gz" | head -n 1 | grep -q "^rfswitch-panel ($version) " ||
    fail "the changelog does not begin with version $version"
head -n 1 "$share/doc/rfswitch-panel/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "the copyright file is not in the machine-readable format"

# The binary, headless, shows its window at once (the default address needs
# no message box) and runs until closed: still running after 3 s, it has
# started. Root gives up its rights first, so that it cannot reach a real port.
home=$tmp/home run=
mkdir -m 700 "$home"
[ "$(id -u)" = 0 ] && chown nobody:nogroup "$home" && run="setpriv --reuid=nobody --regid=nogroup --clear-groups"
status=0
HOME=$home XDG_RUNTIME_DIR=$home QT_QPA_PLATFORM=offscreen timeout 3 $run "$root/usr/bin/rfswitch-panel" >"$scratch/run.log" 2>&1 || status=$?
[ $status = 124 ] || fail "the installed rfswitch-panel ended within 3 s with status $status"
grep -Ei "plugin|cannot load|could not (load|find)|fatal" "$scratch/run.log" && fail "the installed rfswitch-panel complained on start"

# The service is confined (rated 3.0 or lower) yet reaches /dev/parportN;
# its options are the admin's file, and ppdev is loaded at boot.
unit=rfswitch-panel-remote.service
systemd-analyze security --offline=true --threshold=30 "$root/usr/lib/systemd/system/$unit" >"$scratch/security" 2>&1 ||
    { cat "$scratch/security"; fail "systemd-analyze rates the service above 3.0"; }
grep -q 'DeviceAllow=.*char-ppdev:rw' "$scratch/security" && grep -q 'PrivateDevices=.*potentially has access' "$scratch/security" ||
    fail "the service cannot open the parallel ports"
[ "$(dpkg-query --root="$root" -W -f='${Conffiles}' rfswitch-panel | awk '{print $1}')" = /etc/default/rfswitch-panel-remote ] ||
    fail "the service's options are not a conffile"
grep -qx ppdev "$root/usr/lib/modules-load.d/rfswitch-panel.conf" || fail "ppdev is not loaded at boot"
# Its user, one D-Bus can look up, in the ports' group.
grep -q '^rfswitch-panel-remote:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin$' "$root/etc/passwd" || fail "no user rfswitch-panel-remote in /etc/passwd"
grep -q '^lp:x:7:rfswitch-panel-remote$' "$root/etc/group" || fail "rfswitch-panel-remote is not in the lp group"
# Enabled, then removed: stopped and disabled, no link left to a unit that
# is gone, the options kept; then purged: nothing left at all.
wants=$root/etc/systemd/system/multi-user.target.wants/$unit
$as_root systemctl --root="$root" --quiet enable $unit 2>/dev/null && [ -L "$wants" ] || fail "systemctl enable made no link"
$dpkg --remove rfswitch-panel >>"$scratch/dpkg.log" 2>&1 || fail "dpkg could not remove the package"
[ -L "$wants" ] && fail "removal leaves $unit enabled"
[ -f "$root/etc/default/rfswitch-panel-remote" ] || fail "removal took the service's options"
$dpkg --purge rfswitch-panel >>"$scratch/dpkg.log" 2>&1 || fail "dpkg could not purge the package"
listing | diff "$scratch/before" - || fail "purge leaves these behind"

[ $failures = 0 ] || { echo "$failures check(s) failed"; exit 1; }
rm -rf "$scratch"
echo "package checks passed"
