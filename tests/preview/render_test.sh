#!/usr/bin/env bash
# Renders the demo's preview in headless Chromium after moving the page away from where it
# was written, and checks in the browser's own DOM that every notification, medium (inline,
# so it still shows), stack and account is there. Leaves the screenshot at
# BUILD_DIR/preview-screenshot.png for a person to look at. What the page is made of for any
# input (media beside it, escaping, the content policy, stacks) is PreviewPageTest's to check.
#
#   tests/preview/render_test.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:?usage: render_test.sh BUILD_DIR}" && pwd)

browser=${CHROMIUM:-/usr/bin/chromium}
if [[ ! -x "$browser" ]]; then
  echo "FAIL: $browser is missing: run 'scripts/install-deps --preview' to install chromium," \
    "or configure with -DCORVANTA_PREVIEW_TESTS=OFF" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/written"
# A private $TMPDIR: the host's default container then is this test's own.
TMPDIR=$work scripts/demo "$build" "$work/written/preview.html" >"$work/demo.out" 2>&1 || {
  cat "$work/demo.out" >&2
  echo "FAIL: the demo failed" >&2
  exit 1
}
# The page and anything beside it go elsewhere, and the attachment store with them.
mv "$work/written" "$work/moved"
rm -rf "$work/corvanta-nse-$(id -u)"
page="$work/moved/preview.html"

run_browser() {
  local profile
  profile=$(mktemp -d "$work/profile.XXXXXX")
  "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" "$@" "file://$page" 2>>"$work/browser.err"
}
run_browser --dump-dom >"$work/dom.html"
run_browser --screenshot="$build/preview-screenshot.png" --window-size=1100,1800 >/dev/null
# And as a person sees it with every notification, stack and account opened.
sed 's/<details /<details open /g' "$page" >"$work/moved/opened.html"
page="$work/moved/opened.html" run_browser --screenshot="$build/preview-opened.png" \
  --window-size=1100,3200 >/dev/null

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# Matches may span a line: the DOM is searched as one line, its newlines read as any character.
count() { { tr '\n' ' ' <"$work/dom.html" | grep -o -- "$1" || true; } | wc -l; }
expect_count() {  # PATTERN COUNT WHAT
  local n
  n=$(count "$1")
  [[ "$n" -eq "$2" ]] || fail "$3: expected $2, found $n"
}
# The entries of one thread's stack, in order.
stack() {
  sed -n "/<section class=\"stack\" data-thread=\"$1\">/,/<\/section>/p" "$work/dom.html" |
    { grep -o 'data-request="[^"]*"' || true; } | tr '\n' ' '
}

[[ -s "$work/dom.html" ]] || fail "the browser gave no DOM (see below)"
expect_count '<article class="entry"' 10 "notifications"
expect_count '<img class="thumb" src="data:image/' 3 "inline image thumbnails (png, jpeg, gif)"
# A movie or a sound is a tile in the list; its player is in the opened notification only.
expect_count '<span class="thumb tile movie"' 1 "movie tiles"
expect_count '<span class="thumb tile audio"' 1 "sound tiles"
expect_count '</summary>.<audio class="player" controls="" preload="metadata" src="data:audio/mpeg' 1 \
  "audio players, inside the opened notification"
expect_count '</summary>.<video class="player" controls="" preload="metadata" src="data:video/mp4' 1 \
  "video players, inside the opened notification"
# Newest first: a stack shows its newest first, as the host took them.
[[ "$(stack gallery)" == 'data-request="gif" data-request="png" ' ]] ||
  fail "the gallery stack holds: $(stack gallery)"
expect_count '<span class="no-attachment">no attachment: ' 3 \
  "no-attachment badges (404, slow, not mutable)"
expect_count '<span class="expired">expired</span>' 2 "expired marks (on the card, in the account)"
# Each age as when the page was written, its arrival on hover.
expect_count '<time title="arrived 20[0-9-]* [0-9:.]* UTC">\(now\|[0-9]*s ago\)</time>' 10 "ages"
expect_count '<p>run of 20[0-9-]* [0-9:]* UTC, written [0-9.]* s later; 10 requests, newest first' 1 \
  "the run's date"
expect_count '<li>--time-limit 3 s</li><li>plain http loaded (no --require-https)</li>' 1 \
  "the settings that shape verdicts"
expect_count '<span class="badge">badge 1</span>' 1 "badges"
expect_count '<span class="sound">♫ chime.caf</span>' 1 "the named sound"
expect_count '<span class="level">time-sensitive</span>' 1 "interruption levels"
# The push and its payload collapsed on every card.
expect_count '<details class="raw"><summary>push, att_url, payload</summary>' 10 "raw sections"
expect_count '<dt>att_url</dt><dd><code>http://127.0.0.1:[0-9]*/missing.png</code>' 1 \
  "the URL a download fetched"
expect_count 'not displayed, after 4[0-9.]* ms, after the expiry + image/png pic.png' 1 \
  "the slow request's later delivery"

[[ -s "$build/preview-screenshot.png" ]] || fail "no screenshot"
if ((failures > 0)); then
  echo "--- browser's standard error" >&2
  tail -n 20 "$work/browser.err" >&2
  exit 1
fi
echo "preview rendered: $(count '<article class="entry"') notifications;" \
  "screenshot at $build/preview-screenshot.png"
