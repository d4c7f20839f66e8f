"""The updater command of run_e2e.sh, under dbus-run-session: the real program under Xvfb with
AT-SPI on, Update pressed over AT-SPI; what a screen reader is told unasked, as it comes."""
import os, subprocess, sys
from gi.repository import GLib
xvfb = subprocess.Popen(['Xvfb', '-displayfd', '1', '-nolisten', 'tcp', '-nolisten', 'unix', '-noreset'], stdout=subprocess.PIPE)
os.environ.update(DISPLAY=':' + xvfb.stdout.readline().decode().strip(), QT_QPA_PLATFORM='xcb', QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1')
import pyatspi  # noqa: E402  (with the display up)
APP, told, apps = 'Orvane M1 Firmware Updater', [], []  # the desktop entry's Name
def showing(e):  # a notification that comes into view, with its text; a progress bar shown, with its name
    if e.detail1 and e.source.getRole() == pyatspi.ROLE_NOTIFICATION:
        e.source[0].clearCache()  # the label's text as it is now, not as first read
        told.append('%s: %s' % (e.source.getApplication().name, e.source[0].name.split('\n')[0]))
    elif e.detail1 and e.source.getRole() == pyatspi.ROLE_PROGRESS_BAR: told.append('progress bar: ' + e.source.name)
def tick():
    if told[-1:] == [APP + ': Update completed.']: return pyatspi.Registry.stop()
    if not apps and [apps.append(a) for a in pyatspi.Registry.getDesktop(0) if a and a.name == APP]:
        pyatspi.findDescendant(apps[0], lambda x: x.name == 'Update' and x.getRole() == pyatspi.ROLE_PUSH_BUTTON).queryAction().doAction(0)
    return True
pyatspi.Registry.registerEventListener(showing, 'object:state-changed:showing')
program = subprocess.Popen([sys.argv[1]])
GLib.timeout_add(100, tick), GLib.timeout_add_seconds(int(sys.argv[3]), pyatspi.Registry.stop)
pyatspi.Registry.start()
print('\n'.join('told: ' + t for t in told) or 'no application named %s was told anything' % APP)
try:  # ended as the desktop ends it: torn down, exit code 0
    ok = program.terminate() is None and program.wait(10) == 0 and told == [APP + ': Probing devices on the network...',
        APP + ': Updating...', 'progress bar: Updating...', APP + ': Update completed.']
finally:
    program.kill(), xvfb.kill()
print('outcome: ' + ('completed' if ok else 'none'))
sys.exit(0 if ok else 1)
