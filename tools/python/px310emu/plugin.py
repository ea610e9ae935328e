"""The pytest plugin of px310emu, loaded through its `pytest11` entry point.

Fixtures:

    px310_emulator_factory   call it to start emulators; each is stopped
                             after the test:
                                 emulator = px310_emulator_factory(faults="loss=5%", seed=7)
    px310_emulator           one started emulator, configured by a marker
                                 @pytest.mark.px310(faults="dup=1%", scanners=2)
                             or by indirect parameters, one dict per case
                                 @pytest.mark.parametrize("px310_emulator",
                                     [{"seed": 1}, {"seed": 2}], indirect=True)

Both take faults, seed, profile, replay, scene, scanners, rig (a rig file, or
a list of dicts, one scanner's keys each), control, http (the HTTP front end
on loopback; commands go there without a control socket) and args (more
px310-headless options, a list); `emulator.ports` lists each scanner's
address and ports. A test that needs px310-headless is
skipped when it is not found ($PX310_HEADLESS, $PATH, build/tools/).
"""
import pytest

from px310emu import Emulator, find_headless, supports_control

_OPTIONS = ("faults", "seed", "profile", "replay", "scene", "scanners", "rig", "control", "http", "args")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "px310(faults=None, seed=None, profile=None, replay=None, scene=None, scanners=1, rig=None, "
                   "control=True, http=False, args=()): how the px310_emulator fixture starts px310-headless")


def _start(faults=None, seed=None, profile=None, replay=None, scene=None, scanners=1, rig=None, control=True,
           http=False, args=()):
    if not find_headless():
        pytest.skip("px310-headless not found (set PX310_HEADLESS or put it on PATH)")
    if control and not supports_control():
        pytest.skip("this px310-headless has no --control")
    return Emulator(scanners=scanners, faults=faults, seed=seed, profile=profile, replay=replay, scene=scene,
                    rig=rig, control=control, http=http, extra_args=list(args)).start()


def _options_of(request):
    """The px310 marker's options, updated by an indirect parameter's."""
    options = {}
    marker = request.node.get_closest_marker("px310")
    if marker is not None:
        if marker.args:
            raise pytest.UsageError("@pytest.mark.px310 takes keywords only: %s" % ", ".join(_OPTIONS))
        options.update(marker.kwargs)
    options.update(getattr(request, "param", None) or {})
    unknown = sorted(set(options) - set(_OPTIONS))
    if unknown:
        raise pytest.UsageError("px310_emulator does not know %s (it takes %s)"
                                % (", ".join(unknown), ", ".join(_OPTIONS)))
    return options


@pytest.fixture
def px310_emulator_factory():
    """Starts a px310-headless per call with the options given; all are stopped after the test, which
    fails when one of them had ended before."""
    started = []

    def start(**options):
        emulator = _start(**options)
        started.append(emulator)
        return emulator

    yield start
    # An emulator that ended during the test (a crash) fails the test, with its last words.
    ended = [emulator.ended() for emulator in started]
    for emulator in reversed(started):
        emulator.stop()
    ended = [how for how in ended if how]
    if ended:
        pytest.fail("\n".join(ended), pytrace=False)


@pytest.fixture
def px310_emulator(request, px310_emulator_factory):
    """A started emulator as the px310 marker or an indirect parameter describe it (default: one
    scanner with a control socket, no faults)."""
    return px310_emulator_factory(**_options_of(request))
