# Greenlets in gdb: lists every hub and its greenlets, and unwinds the
# stack of a suspended greenlet from its saved fiber context. It reads
# memory only and runs no code in the program, so it works on a live
# process stopped anywhere and on a core file alike.
#
#   source /path/to/green-gdb.py        (or gdb's auto-load, see docs/debugging.md)
#   info greenlets                      every hub, and under it each greenlet, numbered
#   greenlet bt N [bt options]          backtrace of greenlet N (its number or address)
#   greenlet apply all bt [options]     the same for every greenlet
#   greenlet frame N                    makes greenlet N's stack the selected one, for
#                                       up/down/info locals; "greenlet frame off" ends it
#
# Native Linux x86_64 builds (Boost.Context fibers). Every name of the
# program's that this file relies on is in NAMES below: when the runtime's
# layout changes, this table is what to update. Fields are read by name
# through the program's debug information, never at fixed offsets, except
# for the register save area of the fiber switch, which is assembly without
# debug information: its offsets are read off the disassembly of the switch
# when it can be, and otherwise taken from FCONTEXT_LAYOUT.

import re

import gdb

try:
    from gdb.unwinder import Unwinder, register_unwinder
except ImportError:  # a gdb older than 7.10
    Unwinder = object
    register_unwinder = None

NAMES = {
    # The list of hubs (hub/HubList.cpp): a pointer to a struct with a vector.
    "hub_list": "green::(anonymous namespace)::GHubList",
    "hub_list.entries": "Entries",
    "entry.hub": "Hub",  # green::TSingleThreadHub*
    "entry.joiner": "Greenlets",  # green::TObject*, really a green::TJoiner*
    "entry.default": "Default",
    "entry.serial": "Serial",
    # The hub (hub/Hub.h, hub/GInterfaces.h, hub/HubBeat.h).
    "hub.thread": "FThreadId",  # the system's id of the serving thread (0: none)
    "hub.beat": "FBeat",
    "beat.phase": "Phase",  # 0 idle, 1 serving, 2 waiting in the kernel
    "beat.running": "Running",
    # The joiner (greenlets/GreenletsImpl.h): a list linked through the greenlets.
    "joiner.type": "green::TJoiner",
    "joiner.head": "FHead",
    "joiner.count": "FCount",
    # The greenlet (greenlets/GreenletsImpl.h, greenlets/WaitNote.h).
    "greenlet.type": "green::TRawGreenletImpl",
    "greenlet.next": "FJoinNext",
    "greenlet.state": "FState",
    "greenlet.name": "FName",
    "greenlet.class": "FClassName",  # mangled type name, set at the first entry
    "greenlet.wait": "FWaitNote",
    "greenlet.fiber": "FContext",  # os::Fiber, a pointer to the fiber record
    "wait.kind": "Kind",
    "wait.object": "Object",
    "wait.handle": "Handle",
    "wait.deadline": "Deadline",
    # The fiber (platform/posix/FiberSwitch.h): its head holds the saved context.
    "fiber.head_type": "green::os::detail::FiberHead",
    "fiber.context": "Context",
    "fiber.switch": "jump_fcontext",
    "fiber.bottom": "make_fcontext",  # a fiber's first frame: nothing below it
    # Per thread (greenlets/GreenletThread.h): the running greenlet.
    "thread.tls": "green::TGreenletThread::This",
    "thread.current": "Current",
}

STATES = ["gsReady", "gsExecute", "gsTerminated", "gsKilled", "gsException",
          "gsSuspended", "gsKilling"]
WAIT_KINDS = ["wkNone", "wkGevent", "wkSleep", "wkJoin", "wkIO"]
PHASES = ["idle", "serving", "waiting for work"]

# Boost.Context's jump_fcontext on x86_64 System V: where, from the saved
# context pointer, each callee-saved register and the resume address lie,
# and where the stack pointer stands after the switch returns.
FCONTEXT_LAYOUT = {"r12": 0x8, "r13": 0x10, "r14": 0x18, "r15": 0x20,
                   "rbx": 0x28, "rbp": 0x30, "pc": 0x38, "sp": 0x40}

BOTTOM_OF_STACKS = 0x1000  # below every stack of a process
MAX_GREENLETS = 100000  # per hub: a longer list is taken for a cycle
MAX_NAME = 200


class ReadError(Exception):
    """A structure could not be read; the message says which."""


def _field(value, name, what=None):
    try:
        return value[NAMES[name]]
    except (gdb.error, gdb.MemoryError, KeyError, RuntimeError) as e:
        raise ReadError("%s (%s): %s" % (what or name, NAMES.get(name, name), e))


def _plain(value):
    """The value inside a std::atomic (any of libstdc++'s layouts), or the
    value itself."""
    for _ in range(6):
        t = value.type.strip_typedefs()
        if t.code != gdb.TYPE_CODE_STRUCT:
            return value
        fields = [f for f in t.fields() if hasattr(f, "bitpos")]  # no static members
        names = [f.name for f in fields]
        for inner in ("_M_i", "_M_p", "_M_b", "_M_base", "__a_", "__a_value"):
            if inner in names:
                value = value[inner]
                break
        else:
            if len(fields) == 1:
                value = value[fields[0]]
            else:
                return value
    return value


def _int(value):
    return int(_plain(value))


def _addr(value):
    try:
        return int(_plain(value).cast(gdb.lookup_type("unsigned long")))
    except gdb.error:
        return int(_plain(value))


def _string(value):
    """A std::string, at most MAX_NAME bytes of it."""
    try:
        length = int(value["_M_string_length"])
        data = value["_M_dataplus"]["_M_p"]
    except gdb.error:
        return value.format_string(raw=False)
    if length < 0 or length > 1 << 20:
        raise ReadError("name length %d" % length)
    return data.string(length=min(length, MAX_NAME), errors="replace")


def _cstring(address):
    """A NUL-terminated string of at most MAX_NAME bytes, read a byte at a
    time past the first unreadable page."""
    inferior = gdb.selected_inferior()
    out = b""
    while len(out) < MAX_NAME:
        chunk = bytes(inferior.read_memory(address + len(out), 16))
        end = chunk.find(b"\0")
        if end >= 0:
            return (out + chunk[:end]).decode("utf-8", "replace")
        out += chunk
    return out.decode("utf-8", "replace") + "..."


def _demangle(mangled):
    if re.match(r"^[A-Za-z0-9_]+$", mangled):
        try:
            out = gdb.execute("demangle -l c++ -- _Z" + mangled, to_string=True).strip()
            if out and "Can't demangle" not in out:
                mangled = out
        except gdb.error:
            pass
    return mangled.replace("green::", "")


def _vector(value):
    impl = value["_M_impl"]
    start, finish = impl["_M_start"], impl["_M_finish"]
    count = int(finish - start)
    if count < 0 or count > 100000:
        raise ReadError("vector of %d elements" % count)
    return [start[i] for i in range(count)]


class Greenlet(object):
    def __init__(self, number, address, hub):
        self.number = number
        self.address = address
        self.hub = hub
        self.cls = "?"
        self.name = ""
        self.state = "?"
        self.wait = ""
        self.fiber = 0  # the fiber record
        self.context = 0  # saved fiber context; 0 when none
        self.problems = []
        self.running = False  # the running greenlet of its thread

    def title(self):
        text = "greenlet 0x%x %s" % (self.address, self.cls)
        if self.name:
            text += ' "%s"' % self.name
        return text + " " + self.state


class Hub(object):
    def __init__(self, address):
        self.address = address
        self.default = False
        self.thread_id = 0
        self.phase = None
        self.greenlets = []
        self.problems = []
        self.notes = []


def _read_greenlet(g, ptr):
    """Fills g from the greenlet at ptr, noting what could not be read."""
    try:
        state = _int(_field(ptr, "greenlet.state"))
        g.state = STATES[state] if 0 <= state < len(STATES) else "state %d?" % state
    except (ReadError, gdb.error, gdb.MemoryError) as e:
        g.problems.append("state: %s" % e)
    try:
        cls = _plain(_field(ptr, "greenlet.class"))
        g.cls = _demangle(_cstring(int(cls))) if int(cls) else "(not started)"
    except (ReadError, gdb.error, gdb.MemoryError, ValueError) as e:
        g.problems.append("class: %s" % e)
    try:
        g.name = _string(_field(ptr, "greenlet.name"))
    except (ReadError, gdb.error, gdb.MemoryError) as e:
        g.problems.append("name: %s" % e)
    try:
        note = _field(ptr, "greenlet.wait")
        kind = _int(_field(note, "wait.kind"))
        obj = _addr(_field(note, "wait.object"))
        deadline = _int(_field(note, "wait.deadline"))
        limit = ", with a timeout" if deadline else ", no timeout"
        if kind == 1:
            g.wait = "waits on gevent 0x%x%s" % (obj, limit)
        elif kind == 2:
            g.wait = "sleeps" + limit
        elif kind == 3:
            g.wait = "joins greenlet 0x%x%s" % (obj, limit)
        elif kind == 4:
            handle = _int(_field(note, "wait.handle"))
            g.wait = "waits for I/O on handle 0x%x%s" % (handle, limit)
        elif kind != 0:
            g.wait = "wait kind %d?" % kind
    except (ReadError, gdb.error, gdb.MemoryError) as e:
        g.problems.append("wait note: %s" % e)
    try:
        fiber = g.fiber = _addr(_field(ptr, "greenlet.fiber"))
        if fiber:
            head_t = gdb.lookup_type(NAMES["fiber.head_type"]).pointer()
            head = gdb.Value(fiber).cast(head_t).dereference()
            g.context = _addr(_field(head, "fiber.context"))
    except (ReadError, gdb.error, gdb.MemoryError) as e:
        g.problems.append("fiber: %s" % e)


def _running_greenlets():
    """The running greenlet of each thread, by address, where the thread's
    local storage can be read (a live process, a core file with libthread_db)."""
    running = set()
    try:
        inferior = gdb.selected_inferior()
        threads = inferior.threads()
    except gdb.error:
        return running
    selected = gdb.selected_thread()
    try:
        for t in threads:
            try:
                t.switch()
                tls = gdb.parse_and_eval("'%s'" % NAMES["thread.tls"])
                current = _addr(tls[NAMES["thread.current"]])
                if current:
                    running.add(current)
            except (gdb.error, gdb.MemoryError, RuntimeError):
                continue
    finally:
        if selected is not None and selected.is_valid():
            selected.switch()
    return running


def read_hubs():
    """Every hub and its greenlets, numbered from 1 in list order. A part
    that cannot be read is noted on the hub or greenlet and skipped."""
    try:
        sym = gdb.lookup_static_symbol(NAMES["hub_list"])
        if sym is None:
            sym = gdb.lookup_global_symbol(NAMES["hub_list"])
        if sym is None:
            raise ReadError("no symbol %s: is this a program of the runtime, "
                            "with its debug information?" % NAMES["hub_list"])
        root = sym.value()
        if int(root) == 0:
            return []  # no hub was ever made
        entries = _vector(_field(root.dereference(), "hub_list.entries", "hub list"))
    except (gdb.error, gdb.MemoryError) as e:
        raise ReadError("the hub list: %s" % e)
    running = _running_greenlets()
    joiner_t = gdb.lookup_type(NAMES["joiner.type"]).pointer()
    hubs, number = [], 0
    for entry in entries:
        try:
            hub_ptr = _field(entry, "entry.hub")
            hub = Hub(int(hub_ptr))
        except (ReadError, gdb.error, gdb.MemoryError) as e:
            h = Hub(0)
            h.problems.append("entry: %s" % e)
            hubs.append(h)
            continue
        hubs.append(hub)
        try:
            hub.default = bool(_int(_field(entry, "entry.default")))
        except (ReadError, gdb.error) as e:
            hub.problems.append("default: %s" % e)
        try:
            h = hub_ptr.dereference()
            hub.thread_id = _int(_field(h, "hub.thread"))
            beat = _field(h, "hub.beat")
            hub.phase = _int(_field(beat, "beat.phase"))
        except (ReadError, gdb.error, gdb.MemoryError) as e:
            hub.problems.append("hub: %s" % e)
        try:
            joiner = _field(entry, "entry.joiner")
            if int(joiner) == 0:
                continue
            j = joiner.cast(joiner_t).dereference()
            count = _int(_field(j, "joiner.count"))
            ptr = _field(j, "joiner.head")
        except (ReadError, gdb.error, gdb.MemoryError) as e:
            hub.problems.append("greenlet list: %s" % e)
            continue
        seen = set()
        while True:
            try:
                address = int(ptr)
            except (gdb.error, gdb.MemoryError) as e:
                hub.problems.append("greenlet list: %s" % e)
                break
            if address == 0:
                break
            if address in seen or len(seen) >= MAX_GREENLETS:
                hub.problems.append("greenlet list loops back at 0x%x" % address)
                break
            seen.add(address)
            try:
                _int(_field(ptr, "greenlet.state"))
            except (ReadError, gdb.error, gdb.MemoryError) as e:
                hub.problems.append("greenlet list: a link to 0x%x, which is unreadable (%s)"
                                    % (address, e))
                break
            number += 1
            g = Greenlet(number, address, hub)
            g.running = address in running
            _read_greenlet(g, ptr)
            hub.greenlets.append(g)
            try:
                ptr = _field(ptr, "greenlet.next")
            except ReadError as e:
                g.problems.append("next: %s" % e)
                break
        if len(hub.greenlets) != count:
            hub.notes.append("the joiner counts %d greenlets, its list has %d"
                             % (count, len(hub.greenlets)))
    return hubs


def _thread_of(tid):
    if not tid:
        return None
    try:
        for t in gdb.selected_inferior().threads():
            if t.ptid[1] == tid or (t.ptid[1] == 0 and t.ptid[0] == tid):
                return t
    except gdb.error:
        pass
    return None


def describe(hub):
    thread = _thread_of(hub.thread_id)
    text = "hub 0x%x%s" % (hub.address, " (default)" if hub.default else "")
    if hub.thread_id:
        text += ", thread %d" % hub.thread_id
        if thread is not None:
            text += " (gdb thread %d)" % thread.num
    else:
        text += ", not serving"
    if hub.phase is not None and 0 <= hub.phase < len(PHASES):
        text += ", " + PHASES[hub.phase]
    n = len(hub.greenlets)
    return text + ": %d greenlet%s" % (n, "" if n == 1 else "s")


def greenlet_line(g):
    text = "  %-3s %s" % ("#%d" % g.number, g.title())
    if g.running:
        text += ", running on its thread"
    if g.wait:
        text += ", " + g.wait
    return text


def print_hubs(hubs):
    if not hubs:
        print("No hubs.")
    for hub in hubs:
        print(describe(hub))
        for p in hub.problems:
            print("  (could not read %s)" % p)
        for n in hub.notes:
            print("  (%s)" % n)
        for g in hub.greenlets:
            print(greenlet_line(g))
            for p in g.problems:
                print("        (could not read %s)" % p)


# ---- unwinding a suspended greenlet ------------------------------------------

_layout_cache = {}


def fcontext_layout():
    """The register save area of the fiber switch, read off its disassembly
    where it can be; FCONTEXT_LAYOUT otherwise."""
    if "layout" in _layout_cache:
        return _layout_cache["layout"]
    layout = dict(FCONTEXT_LAYOUT)
    try:
        text = gdb.execute("disassemble '%s'" % NAMES["fiber.switch"], to_string=True)
        saves = dict((m.group(2), int(m.group(1), 16)) for m in re.finditer(
            r"mov\s+0x([0-9a-f]+)\(%rsp\),%(r12|r13|r14|r15|rbx|rbp|r8)\b", text))
        leas = [int(m.group(1), 16) for m in re.finditer(r"lea\s+0x([0-9a-f]+)\(%rsp\),%rsp", text)]
        if all(r in saves for r in ("r12", "r13", "r14", "r15", "rbx", "rbp", "r8")) and leas:
            layout = {r: saves[r] for r in ("r12", "r13", "r14", "r15", "rbx", "rbp")}
            layout["pc"] = saves["r8"]
            layout["sp"] = leas[-1]
    except gdb.error:
        pass
    _layout_cache["layout"] = layout
    return layout


def saved_registers(context):
    """The registers that a suspended fiber resumes with, from its saved
    context; ReadError when they do not look like a place in the program."""
    if not context:
        raise ReadError("no saved context")
    layout = fcontext_layout()
    u64 = gdb.lookup_type("unsigned long").pointer()
    regs = {}
    try:
        for reg, offset in layout.items():
            if reg == "sp":
                regs["rsp"] = context + offset
            else:
                regs["rip" if reg == "pc" else reg] = int(
                    gdb.Value(context + offset).cast(u64).dereference())
    except (gdb.error, gdb.MemoryError) as e:
        raise ReadError("saved context at 0x%x: %s" % (context, e))
    if gdb.block_for_pc(regs["rip"]) is None and gdb.find_pc_line(regs["rip"]).symtab is None:
        try:
            progspace_has = gdb.current_progspace().solib_name(regs["rip"]) is not None
        except gdb.error:
            progspace_has = False
        if not progspace_has:
            raise ReadError("saved context at 0x%x resumes at 0x%x, outside the program's code"
                            % (context, regs["rip"]))
    return regs


class _FrameId(object):
    def __init__(self, sp, pc):
        self.sp = sp
        self.pc = pc


class _GreenletUnwinder(Unwinder):
    """While regs is set, the caller of the newest frame is the suspended
    greenlet's resume point: frame #1 on is the greenlet's stack."""

    def __init__(self):
        super(_GreenletUnwinder, self).__init__("green-greenlet")
        self.regs = None

    def __call__(self, pending):
        if self.regs is None:
            return None
        try:
            if pending.level() != 0:
                return None
        except AttributeError:
            pass
        # The thread's frame gets the bottom of the address space for its
        # stack address: gdb stops a backtrace whose frame lies below the
        # frame it was unwound from, and a fiber's stack may lie above or
        # below the thread's own.
        pc = pending.read_register("rip")
        info = pending.create_unwind_info(_FrameId(gdb.Value(BOTTOM_OF_STACKS), pc))
        for reg, value in self.regs.items():
            typ = pending.read_register(reg).type
            info.add_saved_register(reg, gdb.Value(value).cast(typ))
        return info


class _FiberFrames(object):
    """Ends a backtrace at the bottom of a fiber (below it lies the fiber's
    start record, not frames), and leaves out frame #0 (the thread's own)
    while a greenlet's stack is shown."""

    def __init__(self):
        self.name = "green-fiber-frames"
        self.priority = 100
        self.enabled = True
        self.skip_anchor = False

    def filter(self, frames):
        return self._frames(frames)

    def _frames(self, frames):
        for f in frames:
            frame = f.inferior_frame()
            if self.skip_anchor and frame.level() == 0:
                continue
            try:
                name = frame.name()
            except gdb.error:
                name = None
            if name == NAMES["fiber.bottom"]:
                return
            yield f


_unwinder = _GreenletUnwinder() if register_unwinder else None
_anchor = _FiberFrames()
if _unwinder is not None:
    register_unwinder(None, _unwinder, replace=True)
gdb.frame_filters[_anchor.name] = _anchor


def _activate(regs):
    _unwinder.regs = regs
    _anchor.skip_anchor = True
    gdb.invalidate_cached_frames()


def _deactivate():
    if _unwinder is not None and _unwinder.regs is not None:
        _unwinder.regs = None
        _anchor.skip_anchor = False
        gdb.invalidate_cached_frames()


def _on_resume(_event):
    _deactivate()


gdb.events.cont.connect(_on_resume)
try:
    gdb.events.exited.connect(_on_resume)
    gdb.events.new_objfile.connect(_on_resume)
except AttributeError:
    pass


def find_greenlet(hubs, which):
    which = which.strip()
    if not which:
        raise gdb.GdbError("Which greenlet? Give its number from \"info greenlets\" or its address.")
    try:
        value = int(which, 0)
    except ValueError:
        raise gdb.GdbError("\"%s\" is neither a greenlet's number nor its address." % which)
    for hub in hubs:
        for g in hub.greenlets:
            if g.number == value or g.address == value:
                return g
    raise gdb.GdbError("No greenlet %s: see \"info greenlets\"." % which)


def _run_on_greenlet(g, command):
    """Runs command (a gdb command, such as bt) with the greenlet's stack as
    the thread's; prints why not when the greenlet has no stack to show."""
    thread = _thread_of(g.hub.thread_id)
    if g.running:
        if thread is None:
            print("  (running on thread %d, which gdb does not list)" % g.hub.thread_id)
            return
        selected = gdb.selected_thread()
        thread.switch()
        try:
            print("  (running: the stack of gdb thread %d)" % thread.num)
            gdb.execute(command)
        finally:
            if selected is not None and selected.is_valid():
                selected.switch()
        return
    if g.state in ("gsTerminated", "gsKilled", "gsException"):
        print("  (ended: its stack holds only the end of its fiber)")
    if not g.context:
        if g.state == "gsReady":
            why = "not started yet"
        elif g.fiber:
            why = ("its fiber's record reads 0: a core file without the fiber's stack? "
                   "gdb's gcore loses stacks whose mapping holds guard regions, "
                   "the kernel's own core dump keeps them")
        else:
            why = "it has no fiber"
        print("  (no saved context: %s)" % why)
        return
    if _unwinder is None:
        print("  (this gdb has no Python unwinders: cannot show a greenlet's stack)")
        return
    try:
        regs = saved_registers(g.context)
    except ReadError as e:
        print("  (could not read %s)" % e)
        return
    selected = gdb.selected_thread()
    if thread is not None:
        thread.switch()
    _activate(regs)
    try:
        gdb.execute(command)
    except gdb.error as e:
        print("  (%s)" % e)
    finally:
        _deactivate()
        if selected is not None and selected.is_valid():
            selected.switch()


def _read_or_say():
    try:
        return read_hubs()
    except ReadError as e:
        raise gdb.GdbError("Could not read the hubs: %s" % e)


class InfoGreenlets(gdb.Command):
    """Lists every hub and its greenlets: address, class, name, state and
    what each waits on. Reads memory only; works on core files."""

    def __init__(self):
        super(InfoGreenlets, self).__init__("info greenlets", gdb.COMMAND_STATUS)

    def invoke(self, arg, from_tty):
        print_hubs(_read_or_say())


class GreenletPrefix(gdb.Command):
    """Commands on greenlets: greenlet bt N, greenlet apply all bt,
    greenlet frame N, greenlet frame off."""

    def __init__(self):
        super(GreenletPrefix, self).__init__("greenlet", gdb.COMMAND_STACK, prefix=True)


class GreenletBt(gdb.Command):
    """greenlet bt N [bt options]: the backtrace of greenlet N (its number
    in "info greenlets" or its address). A suspended greenlet is unwound
    from its saved context, starting at frame #1; a running one shows its
    thread's stack."""

    def __init__(self):
        super(GreenletBt, self).__init__("greenlet bt", gdb.COMMAND_STACK)

    def invoke(self, arg, from_tty):
        parts = arg.split(None, 1)
        g = find_greenlet(_read_or_say(), parts[0] if parts else "")
        print(greenlet_line(g).strip())
        _run_on_greenlet(g, "bt " + (parts[1] if len(parts) > 1 else ""))


class GreenletApply(gdb.Command):
    """greenlet apply all COMMAND: runs COMMAND (bt, bt full, ...) on the
    stack of every greenlet in turn."""

    def __init__(self):
        super(GreenletApply, self).__init__("greenlet apply", gdb.COMMAND_STACK)

    def invoke(self, arg, from_tty):
        parts = arg.split(None, 1)
        if len(parts) < 2 or parts[0] != "all":
            raise gdb.GdbError("Usage: greenlet apply all COMMAND (for instance bt)")
        for hub in _read_or_say():
            print(describe(hub))
            for g in hub.greenlets:
                print("")
                print(greenlet_line(g).strip())
                _run_on_greenlet(g, parts[1])
            print("")


class GreenletFrame(gdb.Command):
    """greenlet frame N: selects the innermost frame of suspended greenlet
    N's stack, so that up, down, frame, info locals and print work there,
    until "greenlet frame off" or the program goes on."""

    def __init__(self):
        super(GreenletFrame, self).__init__("greenlet frame", gdb.COMMAND_STACK)

    def invoke(self, arg, from_tty):
        if arg.strip() == "off":
            _deactivate()
            return
        g = find_greenlet(_read_or_say(), arg)
        if g.running:
            thread = _thread_of(g.hub.thread_id)
            if thread is not None:
                _deactivate()
                thread.switch()
                print("(running: gdb thread %d selected)" % thread.num)
                gdb.execute("frame")
            return
        try:
            regs = saved_registers(g.context)
        except ReadError as e:
            raise gdb.GdbError("Greenlet %d has no stack to select: %s" % (g.number, e))
        if _unwinder is None:
            raise gdb.GdbError("This gdb has no Python unwinders.")
        thread = _thread_of(g.hub.thread_id)
        if thread is not None:
            thread.switch()
        _activate(regs)
        frame = gdb.newest_frame().older()
        if frame is None:
            _deactivate()
            raise gdb.GdbError("Greenlet %d's stack could not be unwound." % g.number)
        frame.select()
        gdb.execute("frame")


InfoGreenlets()
GreenletPrefix()
GreenletBt()
GreenletApply()
GreenletFrame()
