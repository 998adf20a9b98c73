#!/usr/bin/env bash
# Runs scripts/demo on this build and checks that it tells each gesture with
# what the agent posted for it, the frame's identity in words, and each first
# move once.
#
#   check-demo.sh SOURCE BUILD
set -u
source=${1:?source folder}
build=${2:?build folder}

out=$("$source/scripts/demo" "$build" 2>&1)
rc=$?
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
((rc == 0)) || fail "scripts/demo exited with $rc"

# Whole lines, after the time: the gesture, what was posted, what it means.
while IFS= read -r want; do
    [[ -z $want ]] && continue
    grep -qxE " *[0-9]+\.[0-9]{2}s  $want" <<<"$out" || fail "no line: $want"
done <<'LINES'
One finger taps in the middle of the screen: the pointer to \(960, 540\), then a click
One finger taps twice near the top left: the pointer to \(240, 135\), then a click, then a double click, a double click selects a word
One finger presses, holds and drags downwards: the pointer to \(960, 540\), then a drag from \(960, 540\) to \(960, 923\), it drags what it holds
Two fingers tap: the pointer to \(820, 540\), then a right click, the context menu
Two fingers flick downwards: the pointer to \(820, 264\), then scrolling up by 156 in 4 steps, then gliding on by [0-9]+ in [0-9]+ momentum steps, the page follows them, and glides on after the lift
Three fingers swipe right: control\+left arrow, the workspace to the left
Three fingers swipe left: control\+right arrow, the workspace to the right
Three fingers swipe up: control\+up arrow, all windows
Four fingers swipe left with the document viewer in front: right arrow, the next page
Five fingers close again: launchpad, the application launcher
The frame is unplugged
LINES

grep -qF "the agent tells the other programs: the frame is ready, driver version 2.0, serial number DEMO-0001, type IR-32, product 0x5668, shipped 2020-1-1 at 00:00:00, bootloader 4.0, hardware 1.10, software 2.3.1, flash 256 KB" <<<"$out" ||
    fail "the identity is not told in words"
grep -qF "no frame is connected" <<<"$out" || fail "the unplugging is not told"
grep -q "BOOTPARAM\|IsDeviceReady\|=yes" <<<"$out" && fail "raw identity fields are shown"

if ((failures)); then
    printf '%s\n' "--- the demo said:" "$out"
    exit 1
fi
echo "the demo tells $(grep -c 's  ' <<<"$out") gestures"
