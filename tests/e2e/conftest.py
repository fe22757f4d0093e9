"""Every scenario runs once on each desk: test_x[native] and test_x[wine].

Where the Wine desk cannot be set up (no Wine, no Xvfb, no notchkey.exe), its
scenarios are reported as skipped with the reason; with CI=true they fail
instead, since a CI machine is set up to have it.
"""

import os
import shutil
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import bus  # noqa: E402
from desks import NativeDesk, WineDesk, WineStage  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# For a native program built with ThreadSanitizer; the others ignore it. The
# sanitizer's own second of sleep before exit would be counted as the
# program's in the scenarios that time an end.
os.environ.setdefault("TSAN_OPTIONS",
                      "atexit_sleep_ms=0 suppressions="
                      + os.path.join(os.path.dirname(__file__), "tsan.supp"))


def pytest_addoption(parser):
    parser.addoption("--native-binary", default=os.path.join(ROOT, "build", "notchkey"))
    parser.addoption("--exe", default=os.path.join(ROOT, "build-win", "notchkey.exe"),
                     help="the notchkey.exe the Wine desk runs")
    parser.addoption("--shipped-exe", default=os.path.join(ROOT, "build-win", "notchkey.exe"),
                     help="the notchkey.exe users get, for 32-bit Windows")
    parser.addoption("--probe", default=os.path.join(ROOT, "build-win", "tests", "wine", "probe.exe"))
    parser.addoption("--wine", default="wine",
                     help="the wine that runs them: wine64 for an x86-64 build")
    parser.addoption("--shots", default=os.path.join(ROOT, "build-win", "wine"),
                     help="where screenshots of the Wine desk go")


def pytest_generate_tests(metafunc):
    if "desk" in metafunc.fixturenames:
        metafunc.parametrize("desk", ["native", "wine"], indirect=True)


def unavailable(why, what="the Wine desk"):
    if os.environ.get("CI") == "true":
        pytest.fail("%s is needed on CI: %s" % (what, why))
    pytest.skip("no %s: %s" % (what, why))


@pytest.fixture(scope="session")
def notification_bus():
    """A session bus with a notification server, shared by the native desk's
    scenarios; the reason as a string where there can be none."""
    why = bus.missing()
    if why:
        yield why
        return
    root = tempfile.mkdtemp(prefix="notchkey-bus.")
    try:
        b = bus.Bus(root)
    except Exception as error:  # noqa: BLE001 - any failure means no bus
        yield "the bus did not start: %s" % error
        shutil.rmtree(root, ignore_errors=True)
        return
    yield b
    b.stop()
    shutil.rmtree(root, ignore_errors=True)


def native_desk(request, tmp_path, with_bus=True):
    binary = os.path.abspath(request.config.getoption("--native-binary"))
    if not os.path.exists(binary):
        pytest.fail("%s is not built (scripts/build.sh)" % binary)
    b = None
    if with_bus:
        b = request.getfixturevalue("notification_bus")
        if isinstance(b, str):
            if os.environ.get("CI") == "true":
                pytest.fail("a session bus is needed on CI: " + b)
            b = None  # the scenarios still run, without notifications
    return NativeDesk(str(tmp_path), binary, b)


@pytest.fixture
def native(request, tmp_path):
    """The native desk alone, for what only it has (notifications)."""
    d = native_desk(request, tmp_path)
    yield d
    d.cleanup()


def wine_desk(request, tmp_path):
    stage = request.getfixturevalue("wine_stage")
    if isinstance(stage, str):
        unavailable(stage)
    return WineDesk(str(tmp_path), stage)


@pytest.fixture
def wine(request, tmp_path):
    """The Wine desk alone, for what only it has (virtual keys)."""
    d = wine_desk(request, tmp_path)
    yield d
    d.cleanup()


@pytest.fixture(scope="session")
def wine_stage(request):
    """Made at the first Wine scenario, so a run of native ones never waits
    for it; None with the reason when it cannot be."""
    exe = os.path.abspath(request.config.getoption("--exe"))
    probe = os.path.abspath(request.config.getoption("--probe"))
    loader = request.config.getoption("--wine")
    missing = [tool for tool in (loader, "wineserver", "Xvfb", "import") if not shutil.which(tool)]
    if missing:
        yield "missing %s (scripts/deps.sh installs them as root)" % " ".join(missing)
        return
    for path in (exe, probe):
        if not os.path.exists(path):
            yield "%s is not built (scripts/build.sh)" % path
            return
    root = tempfile.mkdtemp(prefix="notchkey-wine.")
    stage = WineStage(root, exe, probe, request.config.getoption("--shots"), loader)
    try:
        stage.start()
    except Exception as error:  # noqa: BLE001 - any failure means no desk
        stage.stop()
        shutil.rmtree(root, ignore_errors=True)
        yield "the Wine desk did not start: %s" % error
        return
    yield stage
    stage.stop()
    shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def desk(request, tmp_path):
    if request.param == "native":
        d = native_desk(request, tmp_path)
    else:
        d = wine_desk(request, tmp_path)
    yield d
    d.cleanup()
