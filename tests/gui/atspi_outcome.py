"""What a screen reader is told during one run of the real program: under a private Xvfb, on
the private session bus of dbus-run-session, with AT-SPI turned on as a screen reader turns it
on; Update and Finish pressed through AT-SPI. The updater command of tests/e2e/run_e2e.sh:
    dbus-run-session -- python3 atspi_outcome.py PROGRAM --timeout SECONDS"""
import glob, os, subprocess, sys, time
from gi.repository import Gio, GLib

DESKTOP = glob.glob(os.path.join(os.path.dirname(__file__), '../../res/linux/*.desktop'))[0]
PRODUCT = next(line[5:].strip() for line in open(DESKTOP) if line.startswith('Name='))
OUTCOMES = {'Update completed.': 'completed', 'Cannot probe': 'no device', 'Failed to': 'failed', "You're": 'old version'}
r, w = os.pipe()
xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(w), '-nolisten', 'tcp', '-nolisten', 'unix', '-noreset'], pass_fds=[w])
os.close(w)
os.environ.update(DISPLAY=':' + os.fdopen(r).readline().strip(), QT_QPA_PLATFORM='xcb')
Gio.bus_get_sync(Gio.BusType.SESSION).call_sync('org.a11y.Bus', '/org/a11y/bus', 'org.freedesktop.DBus.Properties', 'Set',
    GLib.Variant('(ssv)', ('org.a11y.Status', 'IsEnabled', GLib.Variant('b', True))), None, 0, -1)
import pyatspi  # noqa: E402  (once the bus is up)

told, bars, found = [], [], {}
def on_showing(e):  # what a screen reader speaks unasked: a notification that comes into view
    if e.detail1 and e.source.getRole() == pyatspi.ROLE_NOTIFICATION:
        e.source[0].clearCache()  # the label's text as it is now, not as first read
        told.append((e.source.getApplication().name, e.source[0].name))
    elif e.detail1 and e.source.getRole() == pyatspi.ROLE_PROGRESS_BAR:
        bars.append(e.source.name)
def press(name):
    pyatspi.findDescendant(found['app'], lambda x: x.name == name and x.getRole() == pyatspi.ROLE_PUSH_BUTTON).queryAction().doAction(0)
def tick():
    found['outcome'] = next((o for t, o in OUTCOMES.items() for _, text in told if text.startswith(t)), None)
    if found['outcome'] or time.monotonic() > deadline: pyatspi.Registry.stop()
    elif 'app' not in found:
        app = next((a for a in pyatspi.Registry.getDesktop(0) if a and a.name == PRODUCT), None)
        if app: found['app'] = app; press('Update')
    return True
deadline = time.monotonic() + int(sys.argv[3])
pyatspi.Registry.registerEventListener(on_showing, 'object:state-changed:showing')
program = subprocess.Popen([sys.argv[1]])
GLib.timeout_add(100, tick)
pyatspi.Registry.start()
print('application %r %s' % (PRODUCT, 'found' if 'app' in found else 'not on the AT-SPI bus'))
for who, text in told: print('told by %s: %r' % (who, text))
print('progress bar named %r' % bars)
texts = [t for i, (_, t) in enumerate(told) if i == 0 or t != told[i - 1][1]]
ok = {who for who, _ in told} == {PRODUCT} and len(texts) == 3 and texts[0].startswith('Probing devices') \
    and texts[1] == 'Updating...' and bars == ['Updating...']
if found['outcome']: press('Finish')
rc = program.wait(10) if found['outcome'] else program.kill()
xvfb.kill()
print('outcome: %s' % (found['outcome'] if ok and rc == 0 else 'none'))
sys.exit(0 if ok and rc == 0 else 1)
