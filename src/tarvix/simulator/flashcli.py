"""The simulated console's file commands, as the generic router CLI's
family has them: ``dir``, ``verify /sha256`` (``/md5``, ``/sha512``...),
``delete`` with its two questions, ``rename`` and ``copy`` with their
"Destination filename" question (a copy from a URL asks it too, then
cannot reach the URL), and ``show boot``.  Names may be quoted ("..."),
relative to "flash:"; "stby-flash:" is the peer RP's file system."""
import hashlib
import os
import re
import shlex
import shutil

from tarvix.simulator import boot, flash as flashfs

_URL = re.compile(r"^[a-z]+://", re.I)
_ALGORITHMS = ("md5", "sha1", "sha256", "sha512")


def _flash(console, peer=False):
    seat = boot.peer_seat(console) if peer else boot.seat(console)
    return console.state.flash(seat or "single", flashfs.flash_size(console.args))


def _place(console, name):
    """(file system name, Flash, the name within it) of a device path."""
    fs, colon, rest = name.partition(":")
    if not colon or "/" in fs:
        fs, rest = "flash", name
    if fs not in ("flash", "stby-flash") or (fs == "stby-flash" and not boot.peer_seat(console)):
        return None
    return fs + ":", _flash(console, fs == "stby-flash"), rest.lstrip("/")


def _local(console, name):
    place = _place(console, name)
    if place is None:
        return None, None
    return place[0] + place[2], place[1].local(place[2])


def _configuration(word):
    """Whether a copy's source names a configuration (running-config,
    startup-config, as abbreviated): not a file's copy."""
    return ":" not in word and any(name.startswith(word.lower()) for name in ("running-config", "startup-config"))


def command(console, line):
    """Runs a file command; True when ``line`` was one."""
    try:
        words = shlex.split(line)
    except ValueError:
        return False
    if not words:
        return False
    verb = words[0].lower()
    handlers = {"dir": _dir, "verify": _verify, "delete": _delete, "rename": _rename, "copy": _copy}
    if verb in handlers and not (verb == "copy" and words[1:2] and _configuration(words[1])):
        handlers[verb](console, words[1:])
        return True
    if verb == "show" and words[1:] == ["boot"]:
        console.write("BOOT variable = %s\n" % (flashfs.boot_image(console.running_config()) or ""))
        return True
    return False


def _dir(console, words):
    place = _place(console, words[0] if words else "flash:")
    if place is None:
        return console.write("%%Error opening %s (No such device)\n" % words[0])
    fs, flash, _ = place
    console.write("Directory of %s/\n\n" % fs)
    for number, (name, size) in enumerate(flash.files(), 1):
        console.write("%4d  -rw-  %12d  %s\n" % (number, size, name))
    console.write("\n%d bytes total (%d bytes free)\n" % (flash.size, flash.free()))


def _verify(console, words):
    if len(words) != 2 or not words[0].startswith("/") or words[0][1:].lower() not in _ALGORITHMS:
        return console.write("% Invalid input detected.\n")
    shown, path = _local(console, words[1])
    if path is None or not os.path.isfile(path):
        return console.write("%%Error opening %s (No such file or directory)\n" % words[1])
    digest = hashlib.new(words[0][1:].lower())
    with open(path, "rb") as handle:
        for piece in iter(lambda: handle.read(1 << 20), b""):
            digest.update(piece)
    console.write("%s\nDone!\nverify %s (%s) = %s\n" % ("." * 20, words[0].lower(), shown, digest.hexdigest()))


def _ask(console, question):
    console.write(question)
    return console.readline().strip()


def _delete(console, words):
    if len(words) != 1:
        return console.write("% Invalid input detected.\n")
    shown, path = _local(console, words[0])
    answer = _ask(console, "Delete filename [%s]? " % (shown or words[0]).split(":", 1)[-1])
    if answer not in ("", (shown or "").split(":", 1)[-1]):
        return None
    if _ask(console, "Delete %s? [confirm]" % shown).lower() not in ("", "y", "yes"):
        return None
    if path is None or not os.path.isfile(path):
        return console.write("%%Error deleting %s (No such file or directory)\n" % words[0])
    os.remove(path)


def _rename(console, words):
    if len(words) != 2:
        return console.write("% Invalid input detected.\n")
    (_, source), (shown, target) = _local(console, words[0]), _local(console, words[1])
    if _ask(console, "Destination filename [%s]? " % (shown or words[1]).split(":", 1)[-1]) not in ("",):
        return None
    if source is None or not os.path.isfile(source):
        return console.write("%%Error renaming %s (No such file or directory)\n" % words[0])
    if target is None:
        return console.write("%%Error renaming to %s (Invalid argument)\n" % words[1])
    os.replace(source, target)


def _copy(console, words):
    if len(words) != 2:
        return console.write("% Invalid input detected.\n")
    if _ask(console, "Destination filename [%s]? " % os.path.basename(words[1].split(":", 1)[-1] or words[0])):
        return None
    if _URL.match(words[0]):
        return console.write("%%Error opening %s (No route to host)\n" % words[0])
    (_, source), target_place = _local(console, words[0]), _place(console, words[1])
    if source is None or not os.path.isfile(source):
        return console.write("%%Error opening %s (No such file or directory)\n" % words[0])
    if target_place is None:
        return console.write("%%Error opening %s (No such device)\n" % words[1])
    _, flash, name = target_place
    if os.path.getsize(source) > flash.free():
        return console.write("%%Error copying %s (Not enough space on device)\n" % words[1])
    shutil.copyfile(source, flash.local(name or os.path.basename(source)))
    console.write("%d bytes copied\n" % os.path.getsize(source))
