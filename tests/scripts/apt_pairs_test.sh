#!/usr/bin/env bash
# scripts/apt-pairs against answers apt gave on a machine whose armhf security index failed to
# download (a mirror in the middle of a sync), with the versions that mirror offered.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pairs=$here/../../scripts/apt-pairs
fx=$here/apt
failed=0

check() {  # name, expected output, apt-pairs arguments... (the answer on standard input)
  local name=$1 expected=$2
  shift 2
  local got
  got=$("$pairs" --native amd64 "$@")
  if [ "$got" != "$expected" ]; then
    echo "FAIL $name"
    diff <(echo "$expected") <(echo "$got") | sed 's/^/    /'
    failed=1
  else
    echo "ok   $name"
  fi
}

# "held broken packages": each Multi-Arch "same" library whose host version the armhf index
# lacks moves to the highest version both offer (linux-libc-dev down, the others up); the
# dependencies apt gave up on only because of them are named at the host's own version.
check held-broken "libc6-dev:armhf 2.36-9+deb12u14 2.36-9+deb12u14
libegl-mesa0:armhf 22.3.6-1+deb12u1 22.3.6-1+deb12u2
libelf1:armhf 0.188-2.1 0.188-2.1
libexpat1:armhf 2.5.0-1+deb12u1 2.5.0-1+deb12u2
libgbm1:armhf 22.3.6-1+deb12u1 22.3.6-1+deb12u2
libgl1-mesa-dri:armhf 22.3.6-1+deb12u1 22.3.6-1+deb12u2
libglx-mesa0:armhf 22.3.6-1+deb12u1 22.3.6-1+deb12u2
libkrb5-3:armhf 1.20.1-2+deb12u3 1.20.1-2+deb12u5
libllvm15:armhf 1:15.0.6-4+b1 1:15.0.6-4+b1
liblzma5:armhf 5.4.1-1 5.4.1-1+deb12u1
libssl-dev:armhf 3.0.19-1~deb12u2 3.0.20-1~deb12u2
libssl3:armhf 3.0.19-1~deb12u2 3.0.20-1~deb12u2
libxml2:armhf 2.9.14+dfsg-1.3~deb12u6 2.9.14+dfsg-1.3~deb12u6
libzstd1:armhf 1.5.4+dfsg2-5 1.5.4+dfsg2-5
linux-libc-dev:armhf 6.1.187-1 6.1.176-1
zlib1g-dev:armhf 1:1.2.13.dfsg-1 1:1.2.13.dfsg-1
zlib1g:armhf 1:1.2.13.dfsg-1 1:1.2.13.dfsg-1" \
  --madison "$fx/madison.txt" --installed "$fx/installed.txt" <"$fx/held-broken.answer"

# Moving libexpat1 and liblzma5 would remove their -dev packages (and with them python3-dev and
# more): the -dev packages built from the same source follow; python3-dev, from another source,
# is not touched but stays once they do.
check removal "libexpat1-dev:amd64 2.5.0-1+deb12u1 2.5.0-1+deb12u2
liblzma-dev:amd64 5.4.1-1 5.4.1-1+deb12u1" \
  --moved "libexpat1=2.5.0-1+deb12u2 liblzma5=5.4.1-1+deb12u1" \
  --madison "$fx/madison.txt" --installed "$fx/installed.txt" <"$fx/removal.answer"

# Without a version both architectures offer there is nothing to move to.
check no-common "libssl3:armhf 3.0.19-1~deb12u2 -" \
  --madison <(grep -E '^ *libssl3(:armhf)? ' "$fx/madison.txt" | grep -v 'amd64 Packages') \
  --installed "$fx/installed.txt" \
  <<<' libssl-dev:armhf : Depends: libssl3:armhf (= 3.0.20-1~deb12u2) but it is not going to be installed'

# A package apt installs without complaint, and one that is not Multi-Arch "same" on the host,
# name no pair.
check clean "" --madison "$fx/madison.txt" --installed "$fx/installed.txt" \
  <<<'Inst libssl3:armhf (3.0.20-1~deb12u2 Debian:12.15/oldstable [armhf])'
check not-same "" --madison "$fx/madison.txt" --installed "$fx/installed.txt" \
  <<<' foo:armhf : Depends: python3-dev:armhf but it is not going to be installed'

exit "$failed"
