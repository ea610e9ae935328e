import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))

from px310emu import px310_emulator  # noqa: E402,F401  (the fixture)
