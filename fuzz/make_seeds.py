#!/usr/bin/env python3
"""Writes the seed inputs of fuzz/corpus/ (run from anywhere). The serialised
events in fuzz/corpus/events/ were written once with CGEventCreateData (a
mouse button, a scroll, a key and a magnify gesture); files named crash-* are
found crashers kept as regression inputs and are not written here."""
import os
import plistlib
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


# --- values (FuzzInput.hpp) --------------------------------------------------
KEYS = ["calibrateInProgress", "PreferenceReload", "LogTrigger", "LogURL", "NeedSerialNumber",
        "TouchTestMode", "TapLocation", "ActualCount", "touchX", "touchY", "Driver Version",
        "IsDeviceReady", "SerialNumber", "BOOTPARAM", "Type", "ShipTime", "ShipDate",
        "ProductID", "ActiveTouchCount", "identity", "transducerIndex", "quality",
        "%i_FingerID", "%i_x", "%i_y", "%i_Width", "%i_Height"]


def key(name, index=None):
    k = bytes([KEYS.index(name)])
    return k + (bytes([index & 0xFF]) if index is not None else b"")


def boolean(b):
    return bytes([0, 1 if b else 0])


def integer(i):
    return bytes([2]) + struct.pack("<q", i)


def real(d):
    return bytes([4]) + struct.pack("<d", d)


def text(s):
    b = s.encode()
    return bytes([5, len(b)]) + b


def dictionary(entries):
    return bytes([9]) + dict_body(entries)


def dict_body(entries):
    return bytes([len(entries)]) + b"".join(k + v for k, v in entries)


# --- device (DeviceFuzzer.cpp) ----------------------------------------------
def report10(contacts, count=None):
    r = bytearray(62)
    r[0] = 10
    for i, (flags, cid, x, y) in enumerate(contacts):
        r[1 + 10 * i:11 + 10 * i] = struct.pack("<BBHHHH", flags, cid, x, y, 0, 0)
    r[61] = len(contacts) if count is None else count
    return bytes(r)


def op_raw(report):
    return bytes([0, len(report)]) + report


def op_touches(contacts):
    return bytes([2, len(contacts)]) + b"".join(struct.pack("<BBHH", *c) for c in contacts)


def op_wait(ms):
    return bytes([3]) + struct.pack("<H", ms)


def op_debug(report_id, payload):
    return bytes([1, report_id, len(payload)]) + payload


def op_control(entries):
    return bytes([5]) + dict_body(entries)


# A tap, a drag and a two-finger scroll in the frame's own layout.
tap = op_touches([(7, 1, 16384, 16384)]) + op_wait(50) + op_touches([(0, 1, 16384, 16384)])
drag = b"".join(op_touches([(7, 2, 8000 + 300 * i, 8000)]) + op_wait(16) for i in range(12))
scroll = b"".join(op_touches([(7, 3, 10000, 10000 + 400 * i), (7, 4, 14000, 10000 + 400 * i)])
                  + op_wait(16) for i in range(12)) + op_touches([])
write("device", "tap", bytes([0]) + tap + op_wait(500))
write("device", "drag-single-interface", bytes([1]) + drag + op_wait(500))
write("device", "scroll", bytes([0]) + scroll + op_wait(2000))
# Raw 10-byte-record reports, one with a count above what it holds.
write("device", "raw-reports", bytes([0]) + op_raw(report10([(7, 5, 1000, 2000)]))
      + op_wait(20) + op_raw(report10([(7, 5, 1100, 2000), (7, 6, 3000, 3000)], count=9))
      + op_raw(report10([], count=0)))
# Debug responses out of order, a frame block in three packets, a short one.
boot = bytes([1, 0x10, 0]) + bytes([40, 0, 0, 0, 0, 0, 0, 0, 110, 0, 0xEF, 7, 0, 8, 0, 0xA0])
info = bytes([1, 0x17, 0]) + bytes(12) + struct.pack("<I", 1577836800) + b"SN\0T\0"
block = bytearray(40)
block[0] = 1
block[1:7] = b"VFRAME"
block[7:11] = struct.pack("<HH", 100, 60)
block[39] = sum(block[:39]) & 0xFF
packets = [bytes([1, 0x30, 16]) + block[0:16], bytes([1, 0x31, 16]) + block[16:32],
           bytes([1, 0x32, 8]) + block[32:40]]
write("device", "handshake", bytes([1]) + op_debug(1, info) + op_debug(1, boot)
      + b"".join(op_debug(1, bytes(p)) for p in packets) + op_debug(1, bytes([1, 0x10])))
write("device", "control-and-replug", bytes([0])
      + op_control([(key("NeedSerialNumber"), boolean(True)),
                    (key("TouchTestMode"), boolean(True))])
      + tap + bytes([4]) + op_wait(100) + bytes([4]) + tap
      + op_control([(key("LogTrigger"), integer(0xFFFF)), (key("LogURL"), text("x"))]) + tap)

# --- control (ControlFuzzer.cpp) ---------------------------------------------
location = dictionary([(key("touchX"), integer(1000)), (key("touchY"), integer(2000)),
                       (key("identity"), integer(1))])
write("control", "every-control-key", bytes([0]) + dict_body([
    (key("calibrateInProgress"), boolean(True)), (key("PreferenceReload"), integer(1)),
    (key("LogTrigger"), real(3.0)), (key("LogURL"), text("log")),
    (key("NeedSerialNumber"), boolean(True)), (key("TouchTestMode"), text("yes"))]))
taps = b""
for x, y in [(1000, 1000), (30000, 1000), (30000, 30000), (1000, 30000)]:
    loc = dictionary([(key("touchX"), integer(x)), (key("touchY"), integer(y))])
    taps += bytes([2]) + loc + bytes([201])  # 101 taps, then the finger lifts
write("control", "full-calibration", taps)
write("control", "tap-wrong-types", bytes([2]) + text("not a dictionary") + bytes([3])
      + bytes([2]) + dictionary([(key("touchX"), real(float("nan"))),
                                 (key("touchY"), text("12abc"))]) + bytes([4])
      + bytes([1]) + dict_body([(key("TapLocation"), location)]) + bytes([3, 1]))

# --- painter (PainterFuzzer.cpp) ---------------------------------------------
def report(n):
    entries = [(key("ActualCount"), integer(n))]
    for i in range(n):
        entries += [(key("%i_FingerID", i), integer(i + 1)), (key("%i_x", i), real(0.1 * (i + 1))),
                    (key("%i_y", i), real(0.5)), (key("%i_Width", i), real(0.02)),
                    (key("%i_Height", i), real(0.02))]
    return dict_body(entries)


write("painter", "two-touches", report(2) + bytes([4]) + report(1) + bytes([120]))
write("painter", "ten-touches", report(10) + bytes([200]))
write("painter", "count-too-big", dict_body([(key("ActualCount"), integer(1 << 40)),
                                            (key("%i_x", 0), text("0.5"))]) + bytes([150]))

# --- bus codec (BusCodecFuzzer.cpp) ------------------------------------------
write("buscodec", "roundtrip", bytes([1]) + report(2))
write("buscodec", "roundtrip-nested", bytes([1]) + dict_body([
    (key("TapLocation"), location), (key("BOOTPARAM"), bytes([6, 2]) + b"\x00\x00\x00\xd8"),
    (key("Type"), bytes([10]) + struct.pack("<H", 19))]))
# ssa{sv}: names, then two entries: a variant holding a string, one a dictionary.
write("buscodec", "signal", bytes([0, 4]) + b"Name" + bytes([4]) + b"Objx" + bytes([2])
      + bytes([4]) + b"\x02TTM" + bytes([200, 9]) + bytes([5]) + b"\x00Data" + bytes([60, 1]))
write("buscodec", "odd-body", bytes([2, 3, 16, 4, 14, 5, 9]) + bytes(range(40)))

# --- session (SessionFuzzer.cpp) ---------------------------------------------
demo = os.path.join(HERE, "..", "sessions", "demo.session")
if os.path.exists(demo):
    with open(demo, "rb") as f:
        write("session", "demo.session", f.read())
write("session", "small.session", """frame product=0x5666 serial=S type=T leds=100x60
screen 1280x800
prefs {"InchSize": 32}
0.00 touch 1:16384,16384
0.05 touch 1:16384,16384,20,20:up
0.10 raw 0a0701004000400000000000
0.20 control {"TouchTestMode": true}
0.30 app com.example.app
0.40 detach
0.50 attach
1.00 wait
""")

# --- preferences (PrefsFuzzer.cpp) -------------------------------------------
prefs = {"InchSize": 32, "ClickDuration": 8, "GestureMoveThreshold": 10.5,
         "ZyvTouchCoefficients": {"KX1": 1.0, "KX2": 0.0, "KX3": -0.0, "KY1": 0.0,
                                  "KY2": 1.0, "KY3": 0.0, "KWIDTH": 1920, "KHEIGHT": 1080},
         "Name": "caf\u00e9 \U0001F600", "Data": b"\x00\x01\xff", "List": [True, False, -1, 1e300]}
write("prefs", "prefs.xml", plistlib.dumps(prefs, fmt=plistlib.FMT_XML))
write("prefs", "prefs.bplist", plistlib.dumps(prefs, fmt=plistlib.FMT_BINARY))
write("prefs", "empty.bplist", plistlib.dumps({}, fmt=plistlib.FMT_BINARY))

# --- desktop files (DesktopTextFuzzer.cpp) -----------------------------------
def desktop_text(reader, queries, body):
    out = bytes([reader, len(queries)])
    for q in queries:
        q = q.encode()
        out += bytes([len(q)]) + q
    return out + body.encode()


write("desktoptext", "kglobalshortcutsrc", desktop_text(0, ["kwin", "ExposeAll"], r"""[ActivityManager]
_k_friendly_name=Activity Manager
switch-to-activity-3b2e8f1c=none,none,Switch to activity "Default"

[kwin]
_k_friendly_name=KWin
ExposeAll=Ctrl+F10\tLaunch (C),Ctrl+F10\tLaunch (C),Toggle Present Windows (All desktops)
ExposeClass=Ctrl+F7,Ctrl+F7,Toggle Present Windows (Window class)
Overview=Meta+W,Meta+W,Toggle Overview
Show Desktop=Meta+D,Meta+D,Peek at Desktop
Switch One Desktop to the Left=Meta+Ctrl+Left,Meta+Ctrl+Left,Switch One Desktop to the Left
Switch One Desktop to the Right=Meta+Ctrl+Right,Meta+Ctrl+Right,Switch One Desktop to the Right
Switch to Desktop 1=Ctrl+F1,Ctrl+F1,Switch to Desktop 1
Window Close=Alt+F4,Alt+F4,Close Window
Window Quick Tile Left=Meta+Left,Meta+Left,Quick Tile Window to the Left
Zoom In=Meta++\tMeta+=,Meta++\tMeta+=,Zoom In

[plasmashell]
_k_friendly_name=plasmashell
activate application launcher=Meta\tAlt+F1,Meta\tAlt+F1,Activate Application Launcher
manage activities=Meta+Q,Meta+Q,Show Activity Switcher

[services][org.kde.konsole.desktop]
_launch=Ctrl+Alt+T
"""))
write("desktoptext", "xfce4-keyboard-shortcuts.xml", desktop_text(1, ["xfce4-popup-whiskermenu"], """\
<?xml version="1.0" encoding="UTF-8"?>

<channel name="xfce4-keyboard-shortcuts" version="1.0">
  <property name="commands" type="empty">
    <property name="default" type="empty">
      <property name="&lt;Alt&gt;F1" type="string" value="xfce4-popup-applicationsmenu"/>
      <property name="&lt;Primary&gt;&lt;Alt&gt;Delete" type="string" value="xfce4-session-logout"/>
      <property name="&lt;Super&gt;r" type="string" value="xfce4-appfinder -c"/>
    </property>
    <property name="custom" type="empty">
      <property name="Super_L" type="string" value="/usr/bin/xfce4-popup-whiskermenu"/>
      <property name="&lt;Primary&gt;Escape" type="string" value="xfce4-popup-whiskermenu --pointer"/>
      <property name="override" type="bool" value="true"/>
    </property>
  </property>
  <property name="xfwm4" type="empty">
    <property name="default" type="empty">
      <property name="&lt;Alt&gt;F4" type="string" value="close_window_key"/>
      <property name="&lt;Primary&gt;&lt;Alt&gt;Left" type="string" value="left_workspace_key"/>
      <property name="&lt;Primary&gt;&lt;Alt&gt;Right" type="string" value="right_workspace_key"/>
      <property name="&lt;Primary&gt;&lt;Alt&gt;d" type="string" value="show_desktop_key"/>
    </property>
    <property name="custom" type="empty">
      <property name="&lt;Super&gt;&lt;Alt&gt;Left" type="string" value="left_workspace_key"/>
      <property name="&lt;Super&gt;&lt;Alt&gt;Right" type="string" value="right_workspace_key"/>
      <property name="&lt;Super&gt;d" type="string" value="show_desktop_key"/>
      <property name="override" type="bool" value="true"/>
    </property>
  </property>
</channel>
"""))
write("desktoptext", "gtk-accelerators", desktop_text(
    2, ["<Primary><Shift>Page_Down", "<Mod4>KP_Add", "Super_L", "disabled"], "<Super><Alt>Left"))
write("desktoptext", "qt-shortcuts", desktop_text(
    3, ["Ctrl+Num++", "Ctrl+K, Ctrl+D", "Meta", "Launch (C)"], "Meta+Ctrl+Left"))
write("desktoptext", "applications.table", desktop_text(
    4, ["Firefox", "org.gnome.Evince.desktop", "/usr/share/applications/okular.desktop"], """\
# browsers
firefox                 browser
Navigator               browser
org.mozilla.firefox     browser
chromium.desktop        browser
# viewers
evince                  viewer
org.gnome.Evince        viewer
okular                  viewer
# the user's own
gimp                    org.gimp.GIMP
firefox                 none
"""))
write("desktoptext", "chord", bytes([5]) + struct.pack("<HQ", 123, 0x1A0000))
