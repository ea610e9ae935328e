"""The written man pages: clean for man and lexgrog, and naming every command and option the programs' help names."""
import os
import re
import subprocess

import pytest

from px310emu import find_headless

PACKAGING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging")
PAGES = ["px310-client", "px310-headless", "px310-emulator"]
OPTION = re.compile(r"(?<![\w-])--[a-z][a-z-]*")

pytestmark = pytest.mark.skipif(not find_headless(), reason="px310-headless not built")


def page_path(name):
    return os.path.join(PACKAGING, name + ".1")


def page_text(name):
    with open(page_path(name)) as page:
        return re.sub(r"\\f[BIRP]", "", page.read().replace("\\-", "-"))


def run(command):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=30, env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80"))


def program(name):
    return os.path.join(os.path.dirname(find_headless()), name)


def help_of(name, *words):
    return run([program(name)] + list(words) + ["--help"]).stdout


def client_commands():
    """The commands `px310-client --help` lists, params as its three."""
    listing = help_of("px310-client").split("Commands:\n")[1].split("\n\n")[0]
    commands = [[line.split()[0]] for line in listing.splitlines()]
    assert ["params"] in commands, listing
    return [c for c in commands if c != ["params"]] + [["params", sub] for sub in ("get", "set", "flush")]


@pytest.mark.parametrize("name", PAGES)
def test_a_page_renders_without_warnings_and_has_a_name_line(name):
    rendered = run(["man", "--warnings=w", "-E", "UTF-8", "-l", page_path(name)])
    assert rendered.returncode == 0 and rendered.stderr == "", rendered.stderr
    assert run(["lexgrog", page_path(name)]).stdout.startswith("%s: \"%s - " % (page_path(name), name))


@pytest.mark.parametrize("name, words", [("px310-headless", [])] + [("px310-client", c) for c in client_commands()]
                         if find_headless() else [])
def test_the_page_names_each_option_and_command_of_the_help(name, words):
    page = page_text(name)
    missing = set(OPTION.findall(help_of(name, *words))) - set(OPTION.findall(page))
    assert not missing, "%s %s --help names %s, its man page does not" % (name, " ".join(words), sorted(missing))
    assert " ".join(words) in page
