"""What the kernel tells about a running process through /proc: CPU time, context switches
and resident size, for the whole process and for each of its threads."""

import os

TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")


def _stat_fields(path):
    with open(path, encoding="ascii", errors="replace") as stat:
        text = stat.read()
    # The command name is in parentheses and may hold spaces; the fields follow it.
    return text[text.rindex(")") + 2:].split()


def cpu_ticks(pid):
    """User and system CPU time of the whole process, in clock ticks, dead threads included."""
    fields = _stat_fields(f"/proc/{pid}/stat")
    return int(fields[11]) + int(fields[12])


def _status(path):
    values = {}
    with open(path, encoding="ascii", errors="replace") as status:
        for line in status:
            key, _, value = line.partition(":")
            values[key] = value.strip()
    return values


def threads(pid):
    """Each live thread: its name, CPU ticks, nanoseconds on a CPU, and context switches."""
    found = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        base = f"/proc/{pid}/task/{tid}"
        try:
            fields = _stat_fields(f"{base}/stat")
            status = _status(f"{base}/status")
            with open(f"{base}/schedstat", encoding="ascii") as schedstat:
                on_cpu_ns = int(schedstat.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            continue  # the thread ended meanwhile
        found[tid] = {
            "name": status.get("Name", "?"),
            "ticks": int(fields[11]) + int(fields[12]),
            "on_cpu_ns": on_cpu_ns,
            "voluntary": int(status.get("voluntary_ctxt_switches", 0)),
            "involuntary": int(status.get("nonvoluntary_ctxt_switches", 0)),
        }
    return found


def on_cpu_ns(pid):
    """Nanoseconds the live threads of the process have run."""
    return sum(thread["on_cpu_ns"] for thread in threads(pid).values())


def resident_bytes(pid):
    kilobytes = _status(f"/proc/{pid}/status").get("VmRSS", "0 kB").split()[0]
    return int(kilobytes) * 1024


def resident_parts(pid):
    """The resident size, and its anonymous and file-backed parts, in bytes."""
    status = _status(f"/proc/{pid}/status")
    return {key: int(status.get(field, "0 kB").split()[0]) * 1024
            for key, field in (("rss", "VmRSS"), ("anonymous", "RssAnon"),
                               ("file", "RssFile"))}


def inotify(pid):
    """The process's inotify instances, and the watches they hold between them."""
    instances = watches = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") != "anon_inode:inotify":
                continue
            with open(f"/proc/{pid}/fdinfo/{fd}", encoding="ascii", errors="replace") as info:
                watches += sum(line.startswith("inotify wd:") for line in info)
        except FileNotFoundError:
            continue  # closed meanwhile
        instances += 1
    return {"instances": instances, "watches": watches}


def blocked_stack_pointers(pid, name):
    """The stack pointer of each live thread called `name` (as the kernel cuts it, 15
    characters), while it is blocked in a system call; None for one that is running."""
    pointers = []
    for tid in os.listdir(f"/proc/{pid}/task"):
        base = f"/proc/{pid}/task/{tid}"
        try:
            if _status(f"{base}/status").get("Name") != name:
                continue
            with open(f"{base}/syscall", encoding="ascii") as syscall:
                # "number arg1 ... arg6 stack-pointer program-counter", or "running".
                fields = syscall.read().split()
        except (FileNotFoundError, ProcessLookupError):
            continue
        pointers.append(int(fields[-2], 16) if len(fields) == 9 else None)
    return pointers
