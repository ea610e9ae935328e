import os
import sys

pytest_plugins = ["pytester"]

# The tree's module. ctest runs pytest with -p no:px310emu, so that an installed
# copy's plugin does not import the installed module first.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))


def pytest_configure(config):
    if not config.pluginmanager.has_plugin("px310emu"):
        import px310emu.plugin
        config.pluginmanager.register(px310emu.plugin, "px310emu-source-tree")
