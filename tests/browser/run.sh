#!/bin/sh
# The browser test of the web page (page.test.js), as CTest runs it:
#   run.sh MARROWIT MPTGEN OUTDIR
# Installs puppeteer-core (its version pinned in package-lock.json) with
# npm ci when it is missing or not the pinned one; exits 77 (skipped) when
# Chromium or Node.js is not installed.
set -e
here=$(cd "$(dirname "$0")" && pwd)
chromium=${CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$chromium" ]; then
    echo "skipped: no Chromium at $chromium (Debian package chromium)"
    exit 77
fi
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    echo "skipped: no Node.js and npm (Debian packages nodejs and npm)"
    exit 77
fi
marrowit=$(realpath "$1") mptgen=$(realpath "$2") outdir=$(realpath -m "$3")
mkdir -p "$outdir"
cd "$here"
if ! cmp -s package-lock.json node_modules/.package-lock.json 2>/dev/null &&
   ! node -e "process.exit(require('./node_modules/puppeteer-core/package.json').version === require('./package-lock.json').packages['node_modules/puppeteer-core'].version ? 0 : 1)" 2>/dev/null; then
    npm ci --no-audit --no-fund --loglevel=error
fi
exec node page.test.js "$marrowit" "$mptgen" "$outdir"
