# Run inside gdb, after green-gdb.py, on the live park_greenlets: breaks
# three structures the way a crash might, for the extension to read past.
#   "waiter"  its name's length, huge
#   "sleeper" its link to the next greenlet, an unreadable address
#   "waiter2" its saved fiber context, an unreadable address
import gdb

gdb.execute("set language c++")

_by_name = {}
for _hub in read_hubs():
    for _g in _hub.greenlets:
        _by_name[_g.name] = _g

def _greenlet(name):
    return "((%s*)0x%x)" % (NAMES["greenlet.type"], _by_name[name].address)

gdb.execute("set var %s->%s._M_string_length = 0x7fffffffffff" % (_greenlet("waiter"), NAMES["greenlet.name"]))
gdb.execute("set var %s->%s = (%s*)0x8" % (_greenlet("sleeper"), NAMES["greenlet.next"], NAMES["greenlet.type"]))
gdb.execute("set var ((%s*)%s->%s)->%s = (void*)0x10" % (
    NAMES["fiber.head_type"], _greenlet("waiter2"), NAMES["greenlet.fiber"], NAMES["fiber.context"]))
print("corrupted: waiter's name, sleeper's link, waiter2's context")
