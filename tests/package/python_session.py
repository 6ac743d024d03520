"""A first session with the installed tqrf package, as a new user runs it: no environment
variable, the library and tqrf-sim found by the package itself.

    python tests/package/python_session.py EXPECTED_VERSION [LIBRARY_DIR]

Checks that the package and the library loaded carry EXPECTED_VERSION, that the library was
loaded from LIBRARY_DIR when given (the wheel's own folder, or the system's library folder),
then finds the simulated reader's card, reads a block, and checks that a wrong key raises the
package's exception. Prints one line per step; exit status 0 only when all passed.
"""

import os
import sys

import tqrf
import tqrf.sim


def main() -> int:
    expected = sys.argv[1]
    where = sys.argv[2] if len(sys.argv) > 2 else None
    assert tqrf.__version__ == expected, f"tqrf.__version__ {tqrf.__version__}, not {expected}"
    assert tqrf.library_version() == expected, f"library {tqrf.library_version()}, not {expected}"
    path = tqrf.library_path()
    assert os.path.isabs(path) and os.path.isfile(path), f"library_path() {path!r}"
    if where is not None:
        # (compared as real paths: /lib is /usr/lib on a merged-/usr system)
        same = os.path.realpath(os.path.dirname(path)) == os.path.realpath(where)
        assert same, f"{path} is not in {where}"
    print(f"python {sys.version.split()[0]}: tqrf {tqrf.__version__}, library {path}")

    with tqrf.sim.run() as device:
        with tqrf.Reader(device, slack_ms=1000) as r:
            card = r.find()
            assert card.uid == "3A7C91E5", card.uid
            r.login(1, tqrf.Key.DEFAULT)
            block = r.read(4)
            assert block == bytes(16), block.hex()
            print(f"card {card.uid}, block 4 {block.hex()}")
            r.halt()
            r.find(tqrf.RequestMode.ALL)          # wakes the halted card
            try:
                r.login(2, tqrf.Key.from_hex("A0A1A2A3A4A5"))
            except tqrf.ReaderStatus as e:
                print(f"wrong key: {type(e).__name__}: {e}")
            else:
                raise AssertionError("a wrong key was taken")
    return 0


if __name__ == "__main__":
    sys.exit(main())
