#!/bin/sh
# The installer as a user runs it, in a fresh Wine prefix of its own: silent
# install, acquisition through Wine's Data Source Manager with the installed
# source and twacquire, silent uninstall (settings kept, a board library put
# over the simulated one after the installation kept); then install without
# the optional simulated library, install again over that and over a board
# library found in place, and uninstall with /PURGE (settings gone, the board
# library untouched). The prefix's files before and after each round
# trip must be the same: the uninstaller removes what was installed, nothing
# else, nothing less. The parts for 64-bit applications go only onto a
# 64-bit Windows: none in this 32-bit prefix; then a round in a fresh 64-bit
# prefix installs them, acquires through them and removes them again.
#
# In each prefix the MSI package then makes its round (msi_round): an older
# version's package (built from the same files by MSI_SCRIPT) upgraded by
# this one, the older one refused, the setup program refused beside it,
# acquisition, a repair of a deleted Twain_32.ds, uninstallation back to the
# same files; a board library in place left alone; the package refused beside
# the setup program's installation.
#
#   install_test.sh INSTALLER VERSION BUILT_SOURCE PREFIX MSI MSI_SCRIPT
installer=$1 version=$2 built_source=$3 prefix=$4 msi=$5 msi_script=$6
fail=0
failed() { echo "FAILED: $*"; fail=1; }

[ -f "$installer" ] || { echo "FAILED: no installer at $installer (makensis, Debian package nsis, missing?)"; exit 1; }
echo "installer: $(basename "$installer"), $(stat -c %s "$installer") bytes"
[ -f "$msi" ] || { echo "FAILED: no MSI package at $msi (wixl, msitools missing?)"; exit 1; }
echo "package: $(basename "$msi"), $(stat -c %s "$msi") bytes"
# An older version to upgrade from, whatever this one is.
old_version=0.9.0.0
old_msi="$prefix.$old_version.msi"
cmake -DVERSION=$old_version -DOUTFILE="$old_msi" -P "$msi_script" >/dev/null ||
    { echo "FAILED: the package of version $old_version was not built"; exit 1; }

export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$prefix"
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
wineserver -w
# Kept between the steps, and ended even if this script is killed.
wineserver -p30
trap 'wineserver -k 2>/dev/null' EXIT
trap 'exit 1' TERM INT HUP
wine cmd /c exit </dev/null >/dev/null 2>&1

c="$prefix/drive_c"
product="$c/Program Files/Talvenix/Orion TWAIN"
source_dir="$c/windows/twain_32/Talvenix"
entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Talvenix Orion TWAIN'
settings='HKCU\SOFTWARE\Talvenix\Twain'
installed="$source_dir/Twain_32.ds
$product/twacquire.exe
$product/user-guide.md
$product/Uninstall.exe
$c/windows/system32/MIL.DLL
$c/windows/system32/MILORION.DLL"

# Every file and folder of the prefix but the user's profile and temporary
# folder, where Wine and twacquire write what is not the product's, and
# Windows Installer's own cache of installed packages.
snapshot() {
    (cd "$c" && find . -path ./users -prune -o -path ./windows/temp -prune -o -path ./windows/Installer -prune \
        -o -print | sort)
}

# The value's data as `reg query` prints it, or nothing.
reg_value() {
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
key_exists() {
    wine reg query "$1" >/dev/null 2>&1
}

# The file version of a Windows program or library, read from its
# VS_FIXEDFILEINFO: major.minor.build.revision.
file_version() {
    offset=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$1" | head -1 | cut -d: -f1)
    [ -n "$offset" ] && od -An -tu2 -j $((offset + 8)) -N8 "$1" | awk '{ print $2 "." $1 "." $4 "." $3 }'
}

seconds_since() {
    echo "$(date +%s.%N) $1" | awk '{ printf "%.1f", $1 - $2 }'
}

silent_install() {  # installer options
    start=$(date +%s.%N)
    wine "$installer" /S "$@"; status=$?
    echo "silent install ($*): exit $status, $(seconds_since "$start") s"
    [ "$status" -eq 0 ] || failed "the installer exited with $status"
}

# The uninstaller hands its work to a copy of itself and returns at once;
# the copy's last step removes the uninstall entry.
program_files='C:\Program Files'
silent_uninstall() {  # uninstaller options
    start=$(date +%s.%N)
    wine "$program_files\\Talvenix\\Orion TWAIN\\Uninstall.exe" /S "$@"; status=$?
    tries=0
    while key_exists "$entry" && [ $tries -lt 1200 ]; do
        sleep 0.1; tries=$((tries + 1))
    done
    echo "silent uninstall ($*): exit $status, $(seconds_since "$start") s"
    [ "$status" -eq 0 ] || failed "the uninstaller exited with $status"
    key_exists "$entry" && failed "the uninstall entry is still there"
}

# A stand-in for the board vendor's library, put where the board's own
# installer puts it (the 32-bit system folder), with a copy to compare it with
# later.
bits=32 sysdir=system32
place_board_library() {  # file name in the system folder
    printf 'the board vendor'"'"'s %s\n' "$1" >"$c/windows/$sysdir/$1"
    cp "$c/windows/$sysdir/$1" "$prefix.$1"
}
board_library_untouched() {  # file name in the system folder
    cmp -s "$c/windows/$sysdir/$1" "$prefix.$1"
}

same_files() {  # label
    snapshot >"$prefix.after"
    if ! diff "$prefix.before" "$prefix.after" >"$prefix.diff"; then
        failed "$1: the prefix's files differ from before the installation (< before, > after):"
        cat "$prefix.diff"
    fi
}

# Uninstall entries named for the product, in either registry view, one a
# line: "setup VERSION" for the setup program's, "package VERSION" for the
# MSI package's (its key is the product code). The same key in both views is
# one entry: Wine shows a package's entry in both.
product_entries() {
    for view in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
                'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
        wine reg query "$view" /s 2>/dev/null | tr -d '\r'
    done | awk '
        function entry() { if (name == "Talvenix Orion TWAIN") print key, version; name = version = "" }
        /^HKEY/ { entry(); key = $0; sub(/.*\\/, "", key); key = key ~ /^\{/ ? "package " key : "setup" }
        /^ +DisplayName +REG_SZ/ { name = $0; sub(/^ +DisplayName +REG_SZ +/, "", name) }
        /^ +DisplayVersion +REG_SZ/ { version = $NF }
        END { entry() }' | sort -u | sed 's/^package {[^ ]*}/package/'
}

# Sets $status: msiexec's exit status (under Wine its low 8 bits: 1603, an
# installation refused or failed, is 67).
msiexec_run() {  # what, msiexec arguments
    what=$1; shift
    start=$(date +%s.%N)
    wine msiexec "$@" /qn; status=$?
    echo "msiexec ($what): exit $status, $(seconds_since "$start") s"
}

# The files an installation added to the prefix since $prefix.before.
added_files() {
    snapshot >"$prefix.now"
    comm -13 "$prefix.before" "$prefix.now" | while read -r f; do
        [ -f "$c/$f" ] && echo "${f#./}"
    done | sort
}

# Where both installers put their files, with the simulated library (the
# user guide's table), on a Windows of $bits bits.
layout() {
    pf=${program_files#C:\\}
    echo "windows/twain_32/Talvenix/Twain_32.ds
windows/$sysdir/MIL.DLL
windows/$sysdir/MILORION.DLL
$pf/Talvenix/Orion TWAIN/twacquire.exe
$pf/Talvenix/Orion TWAIN/user-guide.md
$pf/Talvenix/Orion TWAIN/settings-colour-composite.png
$pf/Talvenix/Orion TWAIN/settings-colour-video-norm.png
$pf/Talvenix/Orion TWAIN/settings-rgb-references.png
$pf/Talvenix/Orion TWAIN/settings-rgb-video-norm.png"
    [ "$bits" = 64 ] && echo "windows/twain_32/Talvenix/TwainHost32.exe
windows/twain_32/Talvenix/TWAINDSM.DLL
windows/twain_64/Talvenix/Twain_64.ds
$pf/Talvenix/Orion TWAIN/twacquire64.exe"
}
# The files an installation added are the layout's, and those given.
check_layout() {  # label, installer's own files
    label=$1; shift
    { layout; for f in "$@"; do echo "$f"; done; } | sort >"$prefix.expected"
    added_files | diff "$prefix.expected" - >"$prefix.diff" ||
        { failed "$label: the files added are not the layout's (< expected, > installed):"; cat "$prefix.diff"; }
}

# The MSI package's round in the current prefix.
# An image by memory transfer through the installed twacquire of the
# prefix's bitness, checked against the pattern. Wine's manager loads only
# twain_NN\sane.ds: the installed source goes there for the run, and Wine's
# own file of that name, if any, is put back afterwards.
acquire_installed() {  # what
    sane="$c/windows/twain_$bits/sane.ds"
    rm -f "$prefix.sane.ds"
    [ -e "$sane" ] && cp "$sane" "$prefix.sane.ds"
    cp "$c/windows/twain_$bits/Talvenix/Twain_$bits.ds" "$sane"
    twacquire=twacquire.exe
    [ "$bits" = 64 ] && twacquire=twacquire64.exe
    acquired=$(ORIONSIM_PATTERN=gradient wine "$program_files\\Talvenix\\Orion TWAIN\\$twacquire" --unattended \
        --timeout 30 --check --mech memory --out 'C:\users\acquired' 2>&1 | tr -d '\r')
    echo "$acquired"
    echo "$acquired" | grep -q '^check: the memory image matches the pattern' || failed "no image through $1"
    rm -rf "$c/users/acquired"
    if [ -e "$prefix.sane.ds" ]; then cp "$prefix.sane.ds" "$sane"; else rm -f "$sane"; fi
}

msi_round() {
    msi_w=$(winepath -w "$msi") old_w=$(winepath -w "$old_msi")
    snapshot >"$prefix.before"

    echo "# the MSI package: version $old_version, upgraded by $version with the simulated library"
    msiexec_run "install $old_version" /i "$old_w"
    [ "$status" -eq 0 ] || failed "the package of version $old_version was not installed"
    [ "$(product_entries)" = "package $old_version" ] || failed "uninstall entries: $(product_entries)"
    [ -e "$c/windows/$sysdir/MIL.DLL" ] || [ -e "$c/windows/$sysdir/MILORION.DLL" ] &&
        failed "the package installed the simulated library without ADDLOCAL"
    msiexec_run "install $version" /i "$msi_w" ADDLOCAL=Simulator
    [ "$status" -eq 0 ] || failed "the package of version $version was not installed"
    [ "$(product_entries)" = "package $version" ] || failed "uninstall entries after the upgrade: $(product_entries)"
    check_layout "the package"
    cmp -s "$built_source" "$c/windows/twain_32/Talvenix/Twain_32.ds" ||
        failed "the package's Twain_32.ds is not the built one"

    echo "# the older package refused; the setup program refused beside the package"
    msiexec_run "install $old_version over $version" /i "$old_w"
    [ "$status" -ne 0 ] || failed "the package of version $old_version was installed over $version"
    wine "$installer" /S 2>"$prefix.refusal"; status=$?
    echo "setup program: exit $status: $(tr -d '\r' <"$prefix.refusal")"
    [ "$status" -ne 0 ] || failed "the setup program exited with 0 beside the package's installation"
    grep -q 'installed from its Windows Installer package' "$prefix.refusal" ||
        failed "the setup program did not say why it stopped"
    [ "$(product_entries)" = "package $version" ] || failed "uninstall entries after both: $(product_entries)"

    echo "# acquiring through the package's source"
    acquire_installed "the package's source"

    echo "# repair after Twain_32.ds was deleted"
    rm -f "$c/windows/twain_32/Talvenix/Twain_32.ds"
    # Wine 8's msiexec has no /f; REINSTALL is the same repair.
    msiexec_run repair /i "$msi_w" REINSTALL=ALL REINSTALLMODE=pecms
    cmp -s "$built_source" "$c/windows/twain_32/Talvenix/Twain_32.ds" || failed "the repair did not restore Twain_32.ds"

    echo "# uninstalled: every file and folder gone, the user's settings kept"
    msiexec_run uninstall /x "$msi_w"
    [ "$status" -eq 0 ] || failed "msiexec /x exited with $status"
    [ -z "$(product_entries)" ] || failed "uninstall entries left: $(product_entries)"
    same_files "the package's uninstallation"
    for key in 'HKLM\Software\Talvenix' 'HKLM\Software\Wow6432Node\Talvenix'; do
        key_exists "$key" && failed "the package's uninstallation left $key"
    done
    [ -n "$(reg_value "$settings\\Orion" DigFormat)" ] || failed "the package's uninstallation removed the user's settings"

    echo "# the package with the simulated library over a board library in place"
    cp "$prefix.before" "$prefix.before.clean"
    place_board_library MIL.DLL
    echo "./windows/$sysdir/MIL.DLL" >>"$prefix.before"
    sort -o "$prefix.before" "$prefix.before"
    msiexec_run "install over a board library" /i "$msi_w" ADDLOCAL=ALL
    [ "$status" -eq 0 ] || failed "the package was not installed over a board library"
    board_library_untouched MIL.DLL || failed "the package replaced a board library found in place"
    [ -e "$c/windows/$sysdir/MILORION.DLL" ] && failed "the package installed MILORION.DLL beside a board library"
    [ -f "$c/windows/twain_32/Talvenix/Twain_32.ds" ] || failed "the package did not install Twain_32.ds beside a board library"
    msiexec_run uninstall /x "$msi_w"
    board_library_untouched MIL.DLL || failed "the package's uninstallation removed or changed the board library"
    same_files "the package's uninstallation over a board library"
    rm -f "$c/windows/$sysdir/MIL.DLL"
    mv "$prefix.before.clean" "$prefix.before"

    echo "# the package refused beside the setup program's installation"
    silent_install
    msiexec_run "install beside the setup program" /i "$msi_w"
    [ "$status" -ne 0 ] || failed "the package was installed beside the setup program's installation"
    [ "$(product_entries)" = "setup $version" ] || failed "uninstall entries: $(product_entries)"
    silent_uninstall
    same_files "the setup program's uninstallation after the package's refusal"
}

snapshot >"$prefix.before"

echo "# silent install with the simulated board library"
silent_install /SIMULATOR
# Nothing of the 64-bit parts on a 32-bit Windows.
check_layout "the setup program" "Program Files/Talvenix/Orion TWAIN/Uninstall.exe"
cmp -s "$built_source" "$source_dir/Twain_32.ds" || failed "the installed Twain_32.ds is not the built one"
for name in DisplayName DisplayVersion Publisher UninstallString EstimatedSize; do
    echo "uninstall entry: $name = $(reg_value "$entry" $name)"
done
[ "$(reg_value "$entry" DisplayName)" = "Talvenix Orion TWAIN" ] || failed "uninstall entry: DisplayName"
[ "$(reg_value "$entry" DisplayVersion)" = "$version" ] || failed "uninstall entry: DisplayVersion is not $version"
[ "$(reg_value "$entry" Publisher)" = "Talvenix" ] || failed "uninstall entry: Publisher"
[ "$(reg_value "$entry" UninstallString)" = '"C:\Program Files\Talvenix\Orion TWAIN\Uninstall.exe"' ] ||
    failed "uninstall entry: UninstallString"
size_kb=$(($(reg_value "$entry" EstimatedSize)))
installed_kb=$(echo "$installed" | tr '\n' '\0' | xargs -0 du -ck 2>/dev/null | tail -1 | cut -f1)
[ "$size_kb" -gt 0 ] && [ "$size_kb" -ge $((installed_kb * 9 / 10)) ] ||
    failed "uninstall entry: EstimatedSize $size_kb kB for $installed_kb kB installed"

for f in "$installer" "$source_dir/Twain_32.ds" "$product/twacquire.exe" "$c/windows/system32/MIL.DLL" \
         "$c/windows/system32/MILORION.DLL"; do
    echo "version of $(basename "$f"): $(file_version "$f" || echo none)"
done
for f in "$installer" "$source_dir/Twain_32.ds" "$product/twacquire.exe"; do
    [ "$(file_version "$f")" = "$version" ] || failed "$(basename "$f") is not version $version"
done
[ -n "$(file_version "$c/windows/system32/MIL.DLL")" ] || failed "the installed MIL.DLL has no version"

echo "# acquiring with the installed source and twacquire"
# Wine's manager loads only twain_32\sane.ds (tools/main-job.sh does the same);
# the copy takes the name of Wine's placeholder, so the snapshots, which
# compare names, do not count it.
cp "$source_dir/Twain_32.ds" "$c/windows/twain_32/sane.ds"
wine "C:\\Program Files\\Talvenix\\Orion TWAIN\\twacquire.exe" --list 2>&1 | tr -d '\r' |
    grep -q 'Talvenix Matrox Orion driver' || failed "Wine's manager does not list the installed source"
out="$c/users/acquired"
rm -rf "$out"
acquired=$(wine "C:\\Program Files\\Talvenix\\Orion TWAIN\\twacquire.exe" --unattended --timeout 30 \
    --mech native --out 'C:\users\acquired' 2>&1 | tr -d '\r')
echo "$acquired"
echo "$acquired" | grep -q '^message box "Talvenix TWAIN DS": Error reading the registry' ||
    failed "the first use did not announce the settings it created"
geometry=$(identify -format '%w x %h' "$out/image001.bmp" 2>&1)
[ "$geometry" = "768 x 576" ] || failed "acquired image: $geometry, not 768 x 576"
[ -n "$(reg_value "$settings\\Orion" DigFormat)" ] || failed "the source wrote no settings"
rm -rf "$out"

echo "# the board's library installed over the simulated one; silent uninstall: the product goes, the settings stay"
place_board_library MILORION.DLL
silent_uninstall
board_library_untouched MILORION.DLL || failed "the uninstaller removed a board library installed over the simulated one"
rm -f "$c/windows/system32/MILORION.DLL"
same_files "uninstall"
[ "$(reg_value "$settings\\Orion" DigFormat)" = M_CCIR ] || failed "the user's settings were removed without /PURGE"

echo "# installed without options, then again over a board library in place, uninstalled with /PURGE"
snapshot >"$prefix.before"
silent_install
[ -e "$c/windows/system32/MIL.DLL" ] || [ -e "$c/windows/system32/MILORION.DLL" ] &&
    failed "the simulated library was installed without /SIMULATOR"
place_board_library MIL.DLL
echo ./windows/system32/MIL.DLL >>"$prefix.before"
sort -o "$prefix.before" "$prefix.before"
silent_install /SIMULATOR
board_library_untouched MIL.DLL || failed "the installer replaced a board library found in place"
[ -e "$c/windows/system32/MILORION.DLL" ] && failed "the simulated MILORION.DLL was installed beside a board library"
[ -f "$source_dir/Twain_32.ds" ] || failed "not installed the second time: Twain_32.ds"
silent_uninstall /PURGE
board_library_untouched MIL.DLL || failed "the uninstaller removed or changed the board library"
same_files "uninstall /PURGE"
key_exists "$settings" && failed "the user's settings are still there after /PURGE"
key_exists 'HKCU\SOFTWARE\Talvenix' && failed "the empty maker's key is still there after /PURGE"

# The board library the setup program left in place goes; the package meets
# one in its own round.
rm -f "$c/windows/system32/MIL.DLL"
msi_round

wineserver -k 2>/dev/null; wineserver -w 2>/dev/null

echo "# a 64-bit Windows: the 64-bit source, its host and twacquire64 too"
prefix=${prefix}64
export WINEPREFIX="$prefix" WINEARCH=win64
rm -rf "$prefix"
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
wineserver -w
wineserver -p30
wine cmd /c exit </dev/null >/dev/null 2>&1
c="$prefix/drive_c"
program_files='C:\Program Files (x86)'
bits=64 sysdir=syswow64
# What a 32-bit installer writes to HKLM\Software lands in Wow6432Node.
entry='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\Talvenix Orion TWAIN'
snapshot >"$prefix.before"
silent_install /SIMULATOR
check_layout "the setup program on a 64-bit Windows" "Program Files (x86)/Talvenix/Orion TWAIN/Uninstall.exe"
key_exists "$entry" || failed "no uninstall entry on a 64-bit Windows"
acquire_installed "the installed 64-bit source"
silent_uninstall
same_files "uninstall on a 64-bit Windows"

msi_round

wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
trap - EXIT
if [ "$fail" -eq 0 ]; then
    rm -rf "$prefix" "$prefix".* "${prefix%64}" "${prefix%64}".*
    echo "install and uninstall: passed"
fi
exit $fail
