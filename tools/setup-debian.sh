#!/usr/bin/env bash
# Installs the Debian 12 packages that brisanto needs to build, test and run.
# Runs apt-get directly as root, through sudo otherwise.
set -euo pipefail

PKGS=(
  g++ cmake make pkg-config
  libx11-dev libxft-dev libxtst-dev fonts-dejavu-core xvfb
  libsndfile1-dev
  libgtest-dev libbenchmark-dev
  libfmt-dev
  libasound2
  librtaudio-dev librtmidi-dev libjack-jackd2-dev jackd2
  clang libclang-rt-14-dev
  locales
)

if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "setup-debian.sh: bitte als root ausführen oder sudo installieren" >&2
  exit 1
fi

# The standalone program's PulseAudio test runs a PulseAudio server of its own.
# A desktop that plays through PipeWire keeps it: pulseaudio would replace
# pipewire-pulse, so it is left out there (and that test skips).
if ! dpkg -s pipewire-pulse >/dev/null 2>&1; then
  PKGS+=(pulseaudio pulseaudio-utils)
fi

export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to allow real-time priority for the audio group; answer
# it beforehand (no) so that the install never stops for a question.
echo "jackd2 jackd/tweak_rt_limits boolean false" | "${SUDO[@]}" debconf-set-selections
"${SUDO[@]}" apt-get update
"${SUDO[@]}" apt-get install -y --no-install-recommends "${PKGS[@]}"

# The set-document tests prove that a German numeric locale changes nothing.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  "${SUDO[@]}" sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  "${SUDO[@]}" locale-gen
fi
