#!/usr/bin/env bash
# Installs everything Tesmaro needs to build and test on Debian (run as root or through sudo).
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  g++ cmake make pkg-config \
  libopenblas-dev libsqlite3-dev zlib1g-dev libzstd-dev libboost-dev libgtest-dev
