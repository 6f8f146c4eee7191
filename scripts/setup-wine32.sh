#!/bin/bash
# Installs 32-bit Wine (Debian's wine32:i386, 8.0) beside wine64 on a Debian bookworm amd64 machine whose kernel
# cannot run 32-bit programs, and registers qemu-user (>= 8.1, from bookworm-backports) to run them. Root, idempotent.
# About 70-90 s on a fresh machine (amd64 libraries are moved to versions that exist for both architectures),
# 0.2 s when already done. Exit status non-zero when it could not be done; callers decide what that means.
# Use: WINEPREFIX=<dir> WINEARCH=win32 WINEDEBUG=-all /usr/lib/wine/wine wineboot -i; then /usr/lib/wine/wine prog.exe
set -euo pipefail; export DEBIAN_FRONTEND=noninteractive
APT="apt-get -q -y -o Acquire::Retries=3 -o DPkg::Lock::Timeout=300"; src=/etc/apt/sources.list.d/debian.sources
if ! dpkg-query -W -f='${db:Status-Abbrev}' wine32:i386 2>/dev/null | grep -q '^ii'; then
  dpkg --add-architecture i386   # security's binary-i386 index is broken on the mirror: make that stanza amd64-only
  awk 'BEGIN{RS=""} /debian-security/ && /Architectures:/{f=1} END{exit !f}' $src || { awk 'BEGIN{RS="";ORS="\n\n"}
    /debian-security/{$0=$0"\nArchitectures: amd64"} {print}' $src > $src.tmp && mv $src.tmp $src; }
  $APT update
  pk=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances \
       wine32:i386 2>/dev/null | sed -n 's/^\([a-z0-9][^ ]*\):i386$/\1/p' | sort -u)
  inst=$(dpkg-query -W -f='${Package} ${Architecture} ${db:Status-Abbrev} ${Version}\n' $pk 2>/dev/null | awk '$2=="amd64" && $3=="ii"{print $1,$4}' || true)
  same=$(apt-cache show $(awk '{print $1":i386"}' <<<"$inst") | awk '/^Package:/{p=$2} /^Multi-Arch: same/{print p}' | sort -u)
  mad=$(apt-cache madison $(for p in $same; do printf '%s:amd64 %s:i386 ' $p $p; done) | awk -F' *[|] *' '{sub(/^ +/,"",$1); sub(/:(i386|amd64)$/,"",$1); print $1, ($3~/ i386 Packages/?"i386":"amd64"), $2}')
  pins=()   # Multi-Arch:same skew: pin amd64 lib to newest version that exists for both arches
  for p in $same; do iv=$(awk -v p=$p '$1==p{print $2}' <<<"$inst"); best=
    awk -v p=$p -v v="$iv" '$1==p && $2=="i386" && $3==v{f=1} END{exit !f}' <<<"$mad" && continue
    for v in $(awk -v p=$p '$1==p{a[$3]=a[$3]$2} END{for(v in a) if(a[v]~/amd64/ && a[v]~/i386/) print v}' <<<"$mad"); do
      [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best" && best=$v; done
    [ -n "$best" ] && pins+=("$p:amd64=$best"); done
  prefs=$(mktemp -d); cp -a /etc/apt/preferences.d/. $prefs/   # security below "installed" for this install only
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 99\n' > $prefs/zz-wine32
  $APT -o Dir::Etc::PreferencesParts=$prefs install --no-install-recommends --allow-downgrades wine32:i386 "${pins[@]}"
  rm -rf $prefs
fi
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] || ! /usr/lib/wine/wine --version >/dev/null 2>&1; then   # no IA32 exec
  if ! dpkg --compare-versions "$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || echo 0)" ge 1:8.1; then
    uri=$(awk '/^URIs:/{print $2; exit}' $src)
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nArchitectures: amd64\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' "$uri" > /etc/apt/sources.list.d/bookworm-backports.sources
    $APT update && $APT install --no-install-recommends -t bookworm-backports qemu-user; fi
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ] || echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386
  echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' > /proc/sys/fs/binfmt_misc/register
fi
/usr/lib/wine/wine --version
