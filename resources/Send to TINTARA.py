"""Send to TINTARA: exports the current clip's grade as a 33-point .cube into Tonewharf's inbox.

Run from DaVinci Resolve's Color page (Workspace > Scripts > Send to TINTARA). Tonewharf publishes
where its inbox is in config.json in its support folder; Tonewharf uploads whatever lands there
and offers it to iPads on the local network. Every outcome is one line in Resolve's console.
"""

import errno
import json
import os
import sys
import uuid

PREFIX = "Send to TINTARA: "
# Characters that some file system or operating system refuses in a name, or reads as a path.
UNSAFE = set('/\\:*?"<>|')
# Room for " 9999" and ".cube" within the 255 bytes a file name may have.
MAX_STEM_BYTES = 200


def say(text):
    print(PREFIX + text)


def support_folder():
    """Where Tonewharf keeps config.json; the same place the program itself uses."""
    home = os.path.expanduser("~")
    if sys.platform == "darwin":
        return os.path.join(home, "Library", "Application Support", "Tonewharf")
    data_home = os.environ.get("XDG_DATA_HOME", "")
    if not data_home:
        data_home = os.path.join(home, ".local", "share")
    return os.path.join(data_home, "Tonewharf")


def inbox_folder():
    """The inbox path from config.json, or None after saying why there is none."""
    config = os.path.join(support_folder(), "config.json")
    try:
        with open(config, "rb") as handle:
            settings = json.loads(handle.read().decode("utf-8"))
    except FileNotFoundError:
        say("no config.json at " + config + ". Start Tonewharf once, then run this script again.")
        return None
    except (OSError, ValueError) as error:
        say("cannot read " + config + ": " + str(error))
        return None
    inbox = settings.get("inbox") if isinstance(settings, dict) else None
    if not isinstance(inbox, str) or not os.path.isabs(inbox):
        say(config + " does not name an inbox folder. Start Tonewharf again to rewrite it.")
        return None
    return inbox


def connect():
    """The Resolve object: the one Resolve hands its scripts, else one reached through its module."""
    given = globals().get("resolve")
    if given is not None:
        return given
    bmd = globals().get("bmd")
    if bmd is not None:
        return bmd.scriptapp("Resolve")
    try:
        import DaVinciResolveScript
    except BaseException as error:  # the module calls sys.exit() when its library is missing
        if isinstance(error, KeyboardInterrupt):
            raise
        say("DaVinci Resolve's scripting module cannot be loaded: " + (str(error) or type(error).__name__))
        return None
    return DaVinciResolveScript.scriptapp("Resolve")


def safe_stem(clip_name):
    """A name for the file that every file system takes and that Tonewharf's inbox scan sees."""
    name = clip_name if isinstance(clip_name, str) else ""
    name = name.encode("utf-8", "replace").decode("utf-8")  # lone surrogates have no bytes on disk
    name = "".join("-" if c in UNSAFE or ord(c) < 32 or ord(c) == 127 else c for c in name)
    if name.lower().endswith(".cube"):
        name = name[:-5]
    while len(name.encode("utf-8")) > MAX_STEM_BYTES:
        name = name[:-1]
    # A leading dot would hide the file from the inbox scan; trailing dots and spaces are dropped
    # by some file systems, which would make two names one.
    name = name.strip(" .\t")
    return name or "Grade"


def same_bytes(first, second):
    try:
        with open(first, "rb") as a, open(second, "rb") as b:
            return a.read() == b.read()
    except OSError:
        return False


def publish(temporary, folder, stem):
    """Moves the finished cube to stem.cube, stem 2.cube, ...: the first name that is free or
    already holds these very bytes. Never replaces a different grade. Answers the name used."""
    number = 1
    while True:
        name = stem + (".cube" if number == 1 else " %d.cube" % number)
        target = os.path.join(folder, name)
        if os.path.lexists(target):
            if same_bytes(temporary, target):
                os.remove(temporary)
                return name
        else:
            try:
                # A link fails when the name was taken meanwhile, where a rename would replace it.
                os.link(temporary, target)
                os.remove(temporary)
                return name
            except FileExistsError:
                pass
            except OSError as error:
                if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP):
                    raise
                # A file system without hard links: the name was free a moment ago.
                os.rename(temporary, target)
                return name
        number += 1


def main():
    inbox = inbox_folder()
    if inbox is None:
        return False
    resolve = connect()
    if resolve is None:
        say("DaVinci Resolve does not answer. Run this script from Resolve's Color page.")
        return False
    manager = resolve.GetProjectManager()
    project = manager.GetCurrentProject() if manager is not None else None
    if project is None:
        say("no project is open. Open a project and select a clip on the Color page.")
        return False
    timeline = project.GetCurrentTimeline()
    if timeline is None:
        say("the project has no current timeline. Open a timeline and select a clip on the Color page.")
        return False
    clip = timeline.GetCurrentVideoItem()
    if clip is None:
        say("there is no current clip. Select a clip on the Color page and run this script again.")
        return False
    stem = safe_stem(clip.GetName())

    try:
        os.makedirs(inbox, exist_ok=True)
    except OSError as error:
        say("cannot create the inbox " + inbox + ": " + (error.strerror or str(error)))
        return False
    # Hidden, so that Tonewharf's inbox scan never picks up a cube that is still being written.
    temporary = os.path.join(inbox, ".send-to-tintara-" + uuid.uuid4().hex + ".cube")
    try:
        exported = clip.ExportLUT(resolve.EXPORT_LUT_33PTCUBE, temporary)
        if not exported or not os.path.isfile(temporary) or os.path.getsize(temporary) == 0:
            say("DaVinci Resolve could not export the grade of \u201c%s\u201d as a LUT." % stem)
            return False
        name = publish(temporary, inbox, stem)
    except OSError as error:
        say("cannot write into the inbox " + inbox + ": " + (error.strerror or str(error)))
        return False
    finally:
        try:
            os.remove(temporary)
        except OSError:
            pass
    say("\u201c%s\u201d \u2192 %s" % (stem, os.path.join(inbox, name)))
    return True


main()
