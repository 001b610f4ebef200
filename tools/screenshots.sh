#!/bin/sh
# Builds, then renders the configuration utility's windows offscreen at their
# design size into docs/screenshots/ (PNG), against a sample database of
# recent invoices.
set -eu
cd "$(dirname "$0")/.."
tools/build.sh
build/tools/BrevoltScreenshots docs/screenshots
