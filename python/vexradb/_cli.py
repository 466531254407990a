"""The `vexradb` command that pip installs: starts the command-line tool built with the library
(`vexradb info DIR`, `verify`, `dump`, `import`, `search`, `checkpoint`; `vexradb --help`)."""

import os
import pathlib
import sys

TOOL = "vexradb"


def _candidates():
    here = pathlib.Path(__file__).resolve().parent
    yield here / "bin" / TOOL  # installed inside the package
    yield here.parent.parent / "build" / TOOL  # the repository's build directory


def tool_path():
    """The command-line tool's program, or None when neither place has it."""
    return next((path for path in _candidates() if path.is_file()), None)


def main():
    path = tool_path()
    if path is None:
        tried = ", ".join(str(p) for p in _candidates())
        sys.exit("vexradb: the command-line tool is not installed (tried %s); build it with "
                 "scripts/main.sh or install the package with pip" % tried)
    # The tool takes this process's place: its output, exit status and signals are the
    # command's own.
    os.execv(path, [TOOL] + sys.argv[1:])


if __name__ == "__main__":
    main()
