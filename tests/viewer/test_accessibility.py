#!/usr/bin/python3
# A screen reader's view of the viewer: the real AT-SPI tree, read with pyatspi over a session bus
# of our own, on an Xvfb of our own. The page must show its headings and links (not an empty document), the
# toolbar its readers' name, and every button its caption or its kind's name.
#   test_accessibility.py VIEWER PACK SAMPLE_BOOK_FOLDER
import os
import subprocess
import sys
import tempfile
import time

viewer, pack, sample = sys.argv[1:4]
work = tempfile.mkdtemp(prefix="quirelle-a11y-")
book = os.path.join(work, "sample.qbook")
subprocess.run([pack, "--document", "--system", os.path.join(sample, "system"), "--content", os.path.join(sample, "content"),
                "-o", book], check=True, stdout=subprocess.DEVNULL)

# An X server of our own: Xvfb picks a free display itself and says which (-displayfd), so two
# tests starting at once never meet on one display (xvfb-run -a can hand both the same one).
read_end, write_end = os.pipe()
# -noreset: an X server resets when its last client leaves, and refuses connections meanwhile.
xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"],
                        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.close(write_end)
display = b""
while not display.endswith(b"\n"):
    chunk = os.read(read_end, 16)
    if not chunk:
        sys.exit("FAIL: Xvfb did not start")
    display += chunk
os.close(read_end)
os.environ["DISPLAY"] = ":" + display.decode().strip()
os.environ.pop("XAUTHORITY", None)

# A session bus and the accessibility bus, as a desktop has them; a screen reader says it runs
# by setting IsEnabled, and that is all that tells the programs to build their trees.
bus = subprocess.run(["dbus-launch", "--sh-syntax"], check=True, capture_output=True, text=True).stdout
for line in bus.splitlines():
    if line.startswith("DBUS_SESSION_BUS_ADDRESS=") or line.startswith("DBUS_SESSION_BUS_PID="):
        key, value = line.rstrip(";").split("=", 1)
        os.environ[key] = value.strip("'")
bus_pid = int(os.environ["DBUS_SESSION_BUS_PID"])
subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled", "variant:boolean:true"],
               check=True, stdout=subprocess.DEVNULL)

import pyatspi  # noqa: E402  (after the bus exists: it connects on import)

env = dict(os.environ, QTWEBENGINE_DISABLE_SANDBOX="1")
env.pop("QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY", None)  # the viewer's own default must do
env.pop("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", None)
log = open(os.path.join(work, "viewer.log"), "w+")
proc = subprocess.Popen([viewer, book], env=env, stdout=log, stderr=subprocess.STDOUT)


def nodes(node, depth=0):
    if node is None or depth > 60:
        return
    yield node
    for i in range(node.childCount):
        try:
            yield from nodes(node.getChildAtIndex(i), depth + 1)
        except Exception:  # a node that went away while we read
            pass


def tree():
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.get_process_id() == proc.pid:
                return [(n.getRoleName(), n.name, n) for n in nodes(app)]
        except Exception:
            pass
    return []


failures = []
found = []
# Waits for the condition (the page's tree arrives after its load), never for a fixed time; the
# bound only turns a viewer that never shows it into a failure.
deadline = time.monotonic() + 120
try:
    while time.monotonic() < deadline:
        found = tree()
        if any(r == "heading" and n == "A Walk by the River" for r, n, _ in found) and \
           any(r == "link" and n == "the river" for r, n, _ in found):
            break
        if proc.poll() is not None:
            failures.append("the viewer ended with status %d" % proc.returncode)
            break
        time.sleep(0.2)
    else:
        failures.append("the page's heading and link never reached the accessibility tree")

    roles = [(r, n) for r, n, _ in found]
    if ("document web", "Welcome") not in roles:
        failures.append("no document named after the page's title")
    toolbars = [node for r, n, node in found if r == "tool bar"]
    if [t.name for t in toolbars] != ["Toolbar"]:
        failures.append("the toolbar is named %r" % [t.name for t in toolbars])
    else:
        buttons = [(c.getRoleName(), c.name) for c in nodes(toolbars[0]) if c.getRoleName() == "push button"]
        unnamed = [r for r, n in buttons if not n]
        if unnamed:
            failures.append("%d toolbar buttons have no name" % len(unnamed))
        names = {n for _, n in buttons}
        for expected in ("First", "Next", "Home", "Text size", "Bookmarks", "Search", "Print", "Exit"):
            if expected not in names:
                failures.append("no toolbar button named %r among %s" % (expected, sorted(names)))
finally:
    proc.kill()
    proc.wait()
    os.kill(bus_pid, 15)
    xvfb.kill()
    xvfb.wait()

for f in failures:
    print("FAIL:", f)
if failures:
    for r, n, _ in found[:200]:
        print("  [%s] %r" % (r, n))
    log.seek(0)
    print("the viewer said:\n" + log.read()[-4000:])
    sys.exit(1)
print("accessibility tree: %d nodes, page heading and link, toolbar and its buttons named" % len(found))
