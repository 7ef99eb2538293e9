#!/usr/bin/env bash
# Installs the Debian packages that building the relay needs; "test" adds what the tests,
# fuzzers and sanitizer build need, "fuzz" only the fuzzers' compiler, "demo" the servers of
# the first-run demonstration, "bench" those and the benchmark peers, "package" what
# scripts/package.sh needs; "test" also adds the packaging and the container that boots a
# Debian 12 systemd for the package's test.
# Packages already present are not asked for again, so a ready machine skips apt entirely.
set -euo pipefail
build=(g++ cmake make pkg-config libasio-dev libssl-dev libsystemd-dev libncurses-dev)
test=(googletest libgtest-dev dovecot-pop3d python3 python3-aiosmtpd openssl tmux procps systemd postfix libpython3.11-testsuite)
fuzz=(clang libclang-rt-14-dev)
demo=(dovecot-pop3d python3 python3-aiosmtpd procps)
package=(dpkg-dev lintian)
container=(systemd-container debootstrap)
bench=(fetchmail mpop postfix time hyperfine openssl python3-aiosmtpd libbenchmark-dev)
want=("${build[@]}")
case "${1:-}" in
  test) want+=("${test[@]}" "${fuzz[@]}" "${package[@]}" "${container[@]}") ;;
  package) want+=("${package[@]}") ;;
  fuzz) want+=("${fuzz[@]}") ;;
  demo) want+=("${demo[@]}") ;;
  bench) want+=("${demo[@]}" "${bench[@]}") ;;
esac

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# Installing dovecot-pop3d or postfix would start the system's Dovecot (ports 110/143) or
# Postfix (port 25); the tests run their own instances, so service starts are refused while the
# packages go in.
created_policy=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
  $sudo chmod +x /usr/sbin/policy-rc.d
  created_policy=1
fi
trap '[ -n "$created_policy" ] && $sudo rm -f /usr/sbin/policy-rc.d' EXIT
# Postfix's package asks what kind of mail system this is: none, and no question at install.
echo 'postfix postfix/main_mailer_type select No configuration' | $sudo debconf-set-selections
$sudo apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
